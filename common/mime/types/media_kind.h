// What kind of media a file is, by its bytes and the site's magic rules
// alone, never by its name: the background and image pages take only images
// and sounds, and the download program serves only those. The hashed store
// is served by the web server, so a file that a browser would run (HTML,
// SVG, XML, text) must never be stored or served as a picture.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The content type the site's magic rules give the bytes (they see the first
// 8191), else "text/plain" for text, else "application/octet-stream".
std::string CT_TypeOfBytes(const char* data, std::size_t length);

// An image type other than SVG ("image/svg+xml").
bool CT_IsImageType(std::string_view type);
// A sound type ("audio/...").
bool CT_IsSoundType(std::string_view type);
