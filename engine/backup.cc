// Placeholder until the backup run lands.
#include "engine/backup.h"

int TavStartBackup(BACKUP_REQUEST*, _DISK_INFOMATION*) { return 0; }
int TavBackupThread(BACKUP_REQUEST*, _DISK_INFOMATION*) { return 0; }
