#include "base/AtomicFile.h"

#include "base/UniqueFd.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace
{

// Keeps errno, as the failed call left it, across the cleanup that follows.
class ErrnoKeeper
{
public:
    ErrnoKeeper() : m_nErrno(errno) {}
    ~ErrnoKeeper() { errno = m_nErrno; }
    ErrnoKeeper(const ErrnoKeeper&) = delete;
    ErrnoKeeper& operator=(const ErrnoKeeper&) = delete;

private:
    int m_nErrno;
};

ReplaceStep failBeforeRename(ReplaceStep step, UniqueFd& fd, const std::string& sTempPath)
{
    ErrnoKeeper keeper;
    (void)fd.reset();
    ::unlink(sTempPath.c_str());
    return step;
}

} // namespace

std::string parentDirectory(const std::string& sPath)
{
    const std::string::size_type nSlash = sPath.rfind('/');
    if (nSlash == std::string::npos)
        return ".";
    if (nSlash == 0)
        return "/";
    return sPath.substr(0, nSlash);
}

bool syncParentDirectory(const std::string& sPath)
{
    UniqueFd fd(::open(parentDirectory(sPath).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd)
        return false;
    const bool bSynced = ::fsync(fd.get()) == 0;
    ErrnoKeeper keeper;
    (void)fd.reset();
    return bSynced;
}

ReplaceStep replaceFile(int nFd, const std::string& sTempPath, const std::string& sPath)
{
    // Some file systems can commit the rename before the data: after a power cut the
    // target would then exist but be empty.
    UniqueFd fd(nFd);
    if (::fsync(fd.get()) != 0)
        return failBeforeRename(ReplaceStep::SYNC, fd, sTempPath);
    if (!fd.reset())
        return failBeforeRename(ReplaceStep::CLOSE, fd, sTempPath);
    if (::rename(sTempPath.c_str(), sPath.c_str()) != 0)
        return failBeforeRename(ReplaceStep::RENAME, fd, sTempPath);
    if (!syncParentDirectory(sPath))
        return ReplaceStep::SYNC_DIRECTORY;
    return ReplaceStep::DONE;
}
