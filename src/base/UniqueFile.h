#pragma once

#include <cstdio>
#include <memory>

// Owns a stdio stream and closes it once.
struct StreamClose
{
    void operator()(FILE* pStream) const noexcept { std::fclose(pStream); }
};
using UniqueFile = std::unique_ptr<FILE, StreamClose>;
