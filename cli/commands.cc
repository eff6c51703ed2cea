// placeholder until the commands land
namespace tav::cli {}
