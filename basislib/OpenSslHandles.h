#pragma once

// Owning handles for OpenSSL's objects, so that every early return frees
// what was made. Private to basislib.

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

template <auto FreeFunction>
struct OpenSslFree
{
    template <typename T>
    void operator()(T *p) const { FreeFunction(p); }
};

using PKey = std::unique_ptr<EVP_PKEY, OpenSslFree<EVP_PKEY_free>>;
using PKeyContext = std::unique_ptr<EVP_PKEY_CTX, OpenSslFree<EVP_PKEY_CTX_free>>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, OpenSslFree<EVP_MD_CTX_free>>;
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, OpenSslFree<EVP_CIPHER_CTX_free>>;
using Bio = std::unique_ptr<BIO, OpenSslFree<BIO_free_all>>;
using Certificate = std::unique_ptr<X509, OpenSslFree<X509_free>>;
