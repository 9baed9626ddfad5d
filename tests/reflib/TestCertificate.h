#pragma once
// A self-signed certificate (EC P-256, for 127.0.0.1 and localhost) made for a test, as PEM text and
// files: what an administrator configures, and the only authority a test client trusts.
#include <filesystem>
#include <string>

namespace reflib_test
{
struct CTestCertificate
{
    std::string certificatePem;
    std::string keyPem;
    std::filesystem::path certificateFile;
    std::filesystem::path keyFile;
};

// Made with common name `name`; the files are "<name>.crt" and "<name>.key" in `folder`.
CTestCertificate MakeTestCertificate(const std::string& name, const std::filesystem::path& folder);
} // namespace reflib_test
