#include "downloader/NetworkPaths.h"

NetworkPaths& networkPaths()
{
    static NetworkPaths paths;
    return paths;
}
