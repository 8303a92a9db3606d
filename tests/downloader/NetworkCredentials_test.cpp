#include <gtest/gtest.h>

#include "TestServers.h"
#include "downloader/NetworkCredentials.h"

using namespace net_test;
using testing_support::LogCapture;

namespace
{

struct ParsedUri
{
    explicit ParsedUri(const char* pText) { EXPECT_EQ(ne_uri_parse(pText, &m_uri), 0); }
    ~ParsedUri() { ne_uri_free(&m_uri); }
    ne_uri m_uri{};
};

NetworkCredentials listFor(const char* pUri)
{
    ParsedUri uri(pUri);
    return NetworkCredentials(uri.m_uri);
}

std::vector<std::string> users(const NetworkCredentials& list)
{
    std::vector<std::string> v;
    for (const auto& entry : list.entries())
        v.push_back(entry.m_sUserName);
    return v;
}

class CredentialsTest : public NetworkTest
{
};

TEST_F(CredentialsTest, LoadsOnlyTheEntriesOfItsServerWithDefaultPorts)
{
    writeCredentials(R"(
  <creditentials xlink:href="http://repo.example/" username="noport" password="p1"/>
  <creditentials xlink:href="http://repo.example:80/repo" realm="R" username="port80" password="p2"/>
  <creditentials xlink:href="https://repo.example/" username="https" password="p3"/>
  <creditentials xlink:href="http://repo.example:8080/" username="otherport" password="p4"/>
  <creditentials xlink:href="http://REPO.example/" username="case" password="p5"/>
  <creditentials xlink:href="//repo.example/" username="noscheme" password="p6"/>
  <creditentials href="http://repo.example/" username="nonamespace" password="p7"/>
  <creditentials xlink:href="http://repo.example" username="nopath"/>
  <other xlink:href="http://repo.example/" username="otherelement"/>
  <group><creditentials xlink:href="http://repo.example/" username="deeper"/></group>
)");
    LogCapture log;
    NetworkCredentials list = listFor("http://repo.example/repo");
    EXPECT_EQ(list.port(), 80u);
    EXPECT_TRUE(list.load(networkPaths().m_sCredentialsFile));
    EXPECT_EQ(users(list), (std::vector<std::string>{"noport", "port80", "nopath"}));
    EXPECT_EQ(list.entries()[0].m_sPath, "/");
    EXPECT_EQ(list.entries()[1].m_sPath, "/repo");
    EXPECT_EQ(list.entries()[1].m_sRealm, "R");
    EXPECT_EQ(list.entries()[2].m_sPath, "/");
    EXPECT_EQ(list.entries()[2].m_sPassword, "");
    EXPECT_TRUE(log.contains("WARNING: ignoring network credential with no URI"));
    EXPECT_TRUE(log.contains("TRACE: server does not match, discarded"));

    NetworkCredentials list8080 = listFor("http://repo.example:8080/");
    EXPECT_TRUE(list8080.load(networkPaths().m_sCredentialsFile));
    EXPECT_EQ(users(list8080), (std::vector<std::string>{"otherport"}));
}

TEST_F(CredentialsTest, PasswordsNeverReachTheLog)
{
    writeCredentials(R"(<creditentials xlink:href="http://h/" username="u" password="s3cr3t-Pw"/>
<creditentials xlink:href="http://h/" username="v"/>)");
    LogCapture log;
    NetworkCredentials list = listFor("http://h/");
    EXPECT_TRUE(list.load(networkPaths().m_sCredentialsFile));
    EXPECT_FALSE(log.contains("s3cr3t-Pw"));
    EXPECT_TRUE(log.contains("TRACE: evaluating credentials URI = 'http://h/', Realm = '<null>', "
                             "User = 'u', Password = '<hidden>'"));
    EXPECT_TRUE(log.contains("User = 'v', Password = '<null>'"));
}

TEST_F(CredentialsTest, BadFilesKeepWhatWasRead)
{
    NetworkCredentials list = listFor("http://h/");
    {
        LogCapture log;
        testing_support::writeFile(networkPaths().m_sCredentialsFile,
                                   "<creds><creditentials/></creds>");
        EXPECT_FALSE(list.load(networkPaths().m_sCredentialsFile));
        EXPECT_TRUE(log.contains("ERROR: bad top-level element, 'creds' instead of 'credits'"));
    }
    {
        LogCapture log;
        EXPECT_FALSE(list.load(m_device.file("missing.xml")));
        EXPECT_TRUE(log.contains("ERROR: could not open network credentials file"));
    }
    {
        LogCapture log;
        testing_support::writeFile(
            networkPaths().m_sCredentialsFile,
            "<credits xmlns:xlink=\"http://www.w3.org/1999/xlink\">"
            "<creditentials xlink:href=\"http://h/\" username=\"first\"/>"
            "<creditentials xlink:href=\"http://h:99999999999/\" username=\"badport\"/>"
            "<creditentials xlink:href=\"http://h/\" username=\"second\"/><broken>");
        EXPECT_FALSE(list.load(networkPaths().m_sCredentialsFile));
        EXPECT_EQ(users(list), (std::vector<std::string>{"first", "second"}));
    }
}

TEST_F(CredentialsTest, FindNextWalksFittingEntriesInOrder)
{
    NetworkCredentials list = listFor("http://h/");
    list.addEntry("/repo", "", "any-realm", "a");
    list.addEntry("/", "R", "realm-r", "b");
    list.addEntry("/other", "", "other-path", "c");
    list.addEntry("/repo", "S", "realm-s", "d");
    list.addEntry("/", "", "root", "e");

    EXPECT_EQ(list.findNext("R", "/repo/repodata/repomd.xml"), nullptr)
        << "cursor starts at the end";
    list.rewind();
    std::vector<std::string> vFound;
    while (const NetworkCredential* p = list.findNext("R", "/repo/repodata/repomd.xml"))
        vFound.push_back(p->m_sUserName);
    EXPECT_EQ(vFound, (std::vector<std::string>{"any-realm", "realm-r", "root"}));
    EXPECT_EQ(list.findNext("R", "/repo/x"), nullptr);

    list.rewind();
    const NetworkCredential* p = list.findNext("", "/other/file");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->m_sUserName, "other-path");

    list.clear();
    list.rewind();
    EXPECT_EQ(list.findNext("", "/"), nullptr);
}

} // namespace
