#pragma once

// Owners of neon's handles.

#include <ne_request.h>
#include <ne_session.h>
#include <ne_uri.h>

#include <memory>

struct SessionDestroy
{
    void operator()(ne_session* pSession) const noexcept { ne_session_destroy(pSession); }
};
using SessionHandle = std::unique_ptr<ne_session, SessionDestroy>;

struct RequestDestroy
{
    void operator()(ne_request* pRequest) const noexcept { ne_request_destroy(pRequest); }
};
using RequestHandle = std::unique_ptr<ne_request, RequestDestroy>;

// Owns the parts of a parsed neon URI.
class ParsedUri
{
public:
    ParsedUri() = default;
    ~ParsedUri() { ne_uri_free(&m_uri); }
    ParsedUri(const ParsedUri&) = delete;
    ParsedUri& operator=(const ParsedUri&) = delete;

    // Parses the text, dropping what was held before; false (and empty) when neon rejects it.
    [[nodiscard]] bool parse(const char* pText)
    {
        ne_uri_free(&m_uri);
        if (ne_uri_parse(pText, &m_uri) == 0)
            return true;
        ne_uri_free(&m_uri);
        return false;
    }

    const ne_uri& get() const { return m_uri; }
    const ne_uri* operator->() const { return &m_uri; }

private:
    ne_uri m_uri{};
};
