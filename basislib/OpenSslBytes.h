#pragma once

// OpenSSL takes and fills bytes as unsigned char; Qt keeps them as char.
namespace OpenSsl {
inline unsigned char *bytes(char *p) { return reinterpret_cast<unsigned char *>(p); }
inline const unsigned char *bytes(const char *p) { return reinterpret_cast<const unsigned char *>(p); }
}
