#include "base/FileUtil.h"

#include <cerrno>
#include <unistd.h>

std::string baseName(std::string_view sPath)
{
    const std::size_t uEnd = sPath.find_last_not_of('/');
    if (uEnd == std::string_view::npos)
        return std::string();
    const std::size_t uSlash = sPath.rfind('/', uEnd);
    const std::size_t uStart = uSlash == std::string_view::npos ? 0 : uSlash + 1;
    return std::string(sPath.substr(uStart, uEnd - uStart + 1));
}

bool writeAll(int nFd, const char* pData, std::size_t uLength)
{
    while (uLength > 0)
    {
        const ssize_t nWritten = ::write(nFd, pData, uLength);
        if (nWritten < 0)
        {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (nWritten == 0)
        {
            errno = EIO;
            return false;
        }
        pData += nWritten;
        uLength -= static_cast<std::size_t>(nWritten);
    }
    return true;
}
