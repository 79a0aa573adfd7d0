#pragma once

// The page's files, built into the station: it serves nothing from disk.

#include <cstddef>

struct WebAsset {
    const char* path;  // "/app.js"
    const char* type;  // its Content-Type
    const unsigned char* data;
    std::size_t size;
};
extern const WebAsset kWebAssets[];
extern const std::size_t kWebAssetCount;
