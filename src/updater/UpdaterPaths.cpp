#include "updater/UpdaterPaths.h"

namespace
{

UpdaterPaths& currentPaths()
{
    static UpdaterPaths paths;
    return paths;
}

} // namespace

const UpdaterPaths& updaterPaths()
{
    return currentPaths();
}

void setUpdaterPaths(const UpdaterPaths& paths)
{
    currentPaths() = paths;
}
