#pragma once
// Helpers shared by the adapter's sources; not part of its interface.
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

#include "platform/tls/tls_types.h"

namespace plat::tlsdetail {

struct X509Free { void operator()(X509* p) const { X509_free(p); } };
struct PkeyFree { void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); } };
struct BioFree { void operator()(BIO* p) const { BIO_free(p); } };
using X509Ptr = std::unique_ptr<X509, X509Free>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;

// X.500 text of a name: short attribute keys, ", " between components, " + " inside a
// multi-valued component, values quoted when they hold separators.
std::string X500NameText(const X509_NAME* name, bool reverse);
TlsDateTime DateTimeFromAsn1(const ASN1_TIME* t);

// Makes sure the legacy provider (old PKCS#12 encryptions) sits beside the default one.
void LoadLegacyProvider();

// A server asked the client connection of ssl for a certificate: -1 suspends the handshake
// (the caller chooses), 1 answers with *cert and *key, 0 goes on without one.
int ClientCertRequested(SSL* ssl, X509** cert, EVP_PKEY** key);

}  // namespace plat::tlsdetail
