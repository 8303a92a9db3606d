// The network credentials file, loaded for one server and searched like an
// authentication challenge would.

#include "FuzzSupport.h"

#include "downloader/NetworkCredentials.h"

#include <libxml/parser.h>
#include <ne_uri.h>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quietLogger();
    xmlInitParser();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uSize)
{
    static const std::string sPath = fuzz::workDir() + "/vqzpasswd.xml";
    fuzz::writeInput(sPath, pData, uSize);

    ne_uri uri = {};
    if (ne_uri_parse("http://updates.example.com:8080/repo/", &uri) != 0)
        std::abort();
    {
        NetworkCredentials credentials(uri);
        (void)credentials.load(sPath);
        credentials.rewind();
        while (credentials.findNext("realm", "/repo/repodata/repomd.xml") != nullptr)
        {
        }
        credentials.rewind();
        while (credentials.findNext("", "/") != nullptr)
        {
        }
    }
    ne_uri_free(&uri);
    return 0;
}
