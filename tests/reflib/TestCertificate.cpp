#include "TestCertificate.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <fstream>
#include <memory>
#include <stdexcept>

namespace reflib_test
{
namespace
{
template <class T, void (*Free)(T*)> struct CFree
{
    void operator()(T* object) const { Free(object); }
};
using Key = std::unique_ptr<EVP_PKEY, CFree<EVP_PKEY, EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, CFree<X509, X509_free>>;
using Extension = std::unique_ptr<X509_EXTENSION, CFree<X509_EXTENSION, X509_EXTENSION_free>>;

void BioFree(BIO* bio)
{
    BIO_free(bio);
}
using Bio = std::unique_ptr<BIO, CFree<BIO, BioFree>>;

void Check(bool ok, const char* what)
{
    if (!ok)
    {
        throw std::runtime_error(std::string("test certificate: ") + what);
    }
}

template <class Write> std::string Pem(Write write)
{
    const Bio bio(BIO_new(BIO_s_mem()));
    Check(bio && write(bio.get()) == 1, "PEM");
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

void WriteFile(const std::filesystem::path& path, const std::string& text)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    Check(static_cast<bool>(file), "file");
}
} // namespace

CTestCertificate MakeTestCertificate(const std::string& name, const std::filesystem::path& folder)
{
    const Key key(EVP_EC_gen("P-256"));
    Check(key != nullptr, "key");
    const Certificate certificate(X509_new());
    Check(certificate != nullptr, "certificate");
    X509_set_version(certificate.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 7 * 24 * 3600);
    X509_NAME* subject = X509_get_subject_name(certificate.get());
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1, 0);
    X509_set_issuer_name(certificate.get(), subject);
    X509_set_pubkey(certificate.get(), key.get());
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate.get(), certificate.get(), nullptr, nullptr, 0);
    const Extension names(
        X509V3_EXT_conf_nid(nullptr, &context, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost"));
    Check(names && X509_add_ext(certificate.get(), names.get(), -1) == 1, "names");
    Check(X509_sign(certificate.get(), key.get(), EVP_sha256()) > 0, "signature");

    CTestCertificate made;
    made.certificatePem = Pem([&](BIO* bio) { return PEM_write_bio_X509(bio, certificate.get()); });
    made.keyPem =
        Pem([&](BIO* bio)
            { return PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr); });
    std::filesystem::create_directories(folder);
    made.certificateFile = folder / (name + ".crt");
    made.keyFile = folder / (name + ".key");
    WriteFile(made.certificateFile, made.certificatePem);
    WriteFile(made.keyFile, made.keyPem);
    return made;
}
} // namespace reflib_test
