#pragma once

#include <string>

// Where replacing a file by a completely written temporary file stopped.
enum class ReplaceStep
{
    DONE,
    SYNC,           // forcing the temporary file's data to the medium
    CLOSE,          // closing the temporary file
    RENAME,         // renaming it over the target
    SYNC_DIRECTORY, // forcing the directory entry of the rename to the medium
};

// Puts the temporary file sTempPath, open as nFd and completely written, in place of sPath
// so that a power cut leaves either the old or the new complete content, never an empty or
// partly written file: the data is forced to the medium before the rename, and the
// directory after it. nFd is closed in every case. A failure before the rename removes the
// temporary file and leaves sPath as it was. Returns the step that failed (errno tells
// why), or DONE. Logs nothing: callers name the file in their own messages.
[[nodiscard]] ReplaceStep replaceFile(int nFd, const std::string& sTempPath,
                                      const std::string& sPath);

// The directory holding sPath ("." for a bare name).
std::string parentDirectory(const std::string& sPath);

// fsync of the directory holding sPath; false with errno set.
[[nodiscard]] bool syncParentDirectory(const std::string& sPath);
