// TavPub2's text table.
#include "services/services_texts.h"

#include <iterator>
#include <mutex>

namespace tav::services {

namespace {

TAVSTR g_texts[] = {
    {"STR_NEW_TASK", "新任务"},
    {"STR_JANUARY", "一月"}, {"STR_FEBRUARY", "二月"}, {"STR_MARCH", "三月"}, {"STR_APRIL", "四月"},
    {"STR_MAY", "五月"}, {"STR_JUNE", "六月"}, {"STR_JULY", "七月"}, {"STR_AUGUST", "八月"},
    {"STR_SEPTEMBER", "九月"}, {"STR_OCTOBER", "十月"}, {"STR_NOVEMBER", "十一月"}, {"STR_DECEMBER", "十二月"},
    {"STR_FIRST", "第一个"}, {"STR_SECOND", "第二个"}, {"STR_THIRD", "第三个"}, {"STR_FOURTH", "第四个"},
    {"STR_LAST", "最后一个"},
    {"STR_SUNDAY", "星期日"}, {"STR_MONDAY", "星期一"}, {"STR_TUESDAY", "星期二"}, {"STR_WEDNESDAY", "星期三"},
    {"STR_THURSDAY", "星期四"}, {"STR_FRIDAY", "星期五"}, {"STR_SATURDAY", "星期六"},
    {"STR_AM", "上午"},
    {"STR_PM", "下午"},
    {"STR_MID_NIGHT", "午夜"},
    {"STR_NOON", "中午"},
    {"STR_HOURS", "小时"},
    {"STR_MINUTES", "分钟"},
    {"STR_SECONDS", "秒"},
    {"STR_TIME_REMAINING", "剩余时间"},
    {"STR_TASK_MANUALLY_DESCR", "手动运行"},
    {"STR_TASK_ONETIME_DESCR", "在%d年%d月%d日(%s) %s运行一次"},
    {"STR_TASK_PERIOD_DESCR", "每%d%s运行一次"},
    {"STR_TASK_DAILY_DESCR1", "每天%s运行"},
    {"STR_TASK_DAILY_DESCR2", "每个工作日%s运行"},
    {"STR_TASK_DAILY_DESCR3", "每%d天%s运行"},
    {"STR_TASK_WEKKLY_DESCR", "每%d周的%s%s运行"},
    {"STR_TASK_MONTHLY_DESCR1", "每月%d日%s运行"},
    {"STR_TASK_MONTHLY_DESCR2", "每月%s%s %s运行"},
    {nullptr, nullptr},
};
static_assert(std::size(g_texts) == size_t(SvcText::kCount) + 1, "one entry per SvcText, plus the end");

constexpr LanguageTable kTables[] = {{kServicesLanguageModule, g_texts}};
std::once_flag g_once;

}  // namespace

const char* svc_text(SvcText id) {
  std::call_once(g_once, [] { TavInitializeLang(g_texts, kServicesLanguageModule); });
  return TavGetStr(g_texts, int(id));
}

std::span<const LanguageTable> services_language_tables() { return kTables; }

}  // namespace tav::services
