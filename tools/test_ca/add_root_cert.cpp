// Adds a certificate to the current user's trusted root store ("ROOT"). The
// test harness runs it in each throwaway Wine prefix so that WinHTTP trusts
// the release server's test CA.
//
//   pelorin_add_root_cert.exe CERTIFICATE
//
// CERTIFICATE is a file holding one certificate, DER or PEM. An existing copy
// of the same certificate is replaced. Exit code 0 on success, 1 on failure
// (with a message on standard error), 2 for a wrong command line.

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace {

constexpr DWORD MaxCertificateFileSize = 1 << 20;
constexpr DWORD CertificateEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr std::string_view PemMarker = "-----BEGIN CERTIFICATE-----";

struct HandleCloser {
    void operator()(HANDLE handle) const noexcept { ::CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

struct StoreCloser {
    void operator()(HCERTSTORE store) const noexcept { ::CertCloseStore(store, 0); }
};
using UniqueStore = std::unique_ptr<void, StoreCloser>;

struct ContextFreer {
    void operator()(PCCERT_CONTEXT context) const noexcept { ::CertFreeCertificateContext(context); }
};
using UniqueCertificate = std::unique_ptr<const CERT_CONTEXT, ContextFreer>;

int Fail(const wchar_t* what, DWORD error) {
    std::fwprintf(stderr, L"add-root-cert: %ls (error %lu)\n", what, error);
    return 1;
}

bool ReadWholeFile(const wchar_t* path, std::vector<BYTE>& contents, DWORD& error) {
    UniqueHandle file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        file.release();
        error = ::GetLastError();
        return false;
    }
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.get(), &size)) {
        error = ::GetLastError();
        return false;
    }
    if (size.QuadPart <= 0 || size.QuadPart > MaxCertificateFileSize) {
        error = ERROR_INVALID_DATA;
        return false;
    }
    contents.resize(static_cast<std::size_t>(size.QuadPart));
    DWORD read = 0;
    if (!::ReadFile(file.get(), contents.data(), static_cast<DWORD>(contents.size()), &read, nullptr)) {
        error = ::GetLastError();
        return false;
    }
    if (read != contents.size()) {
        error = ERROR_HANDLE_EOF;
        return false;
    }
    return true;
}

// Turns a PEM file into DER; a file without the PEM marker is taken as DER.
bool ToDer(std::vector<BYTE>& contents, DWORD& error) {
    const std::string_view text(reinterpret_cast<const char*>(contents.data()), contents.size());
    if (text.find(PemMarker) == std::string_view::npos) {
        return true;
    }
    DWORD size = 0;
    const auto length = static_cast<DWORD>(contents.size());
    const auto* pem = reinterpret_cast<const char*>(contents.data());
    if (!::CryptStringToBinaryA(pem, length, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
        error = ::GetLastError();
        return false;
    }
    std::vector<BYTE> der(size);
    if (!::CryptStringToBinaryA(pem, length, CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr)) {
        error = ::GetLastError();
        return false;
    }
    der.resize(size);
    contents.swap(der);
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fwprintf(stderr, L"usage: pelorin_add_root_cert CERTIFICATE   (DER or PEM)\n");
        return 2;
    }
    std::vector<BYTE> certificate;
    DWORD error = 0;
    if (!ReadWholeFile(argv[1], certificate, error)) {
        return Fail(L"cannot read the certificate file", error);
    }
    if (!ToDer(certificate, error)) {
        return Fail(L"the PEM file holds no readable certificate", error);
    }

    UniqueCertificate parsed(::CertCreateCertificateContext(CertificateEncoding, certificate.data(),
                                                            static_cast<DWORD>(certificate.size())));
    if (!parsed) {
        return Fail(L"the file holds no readable certificate", ::GetLastError());
    }
    {
        UniqueStore store(::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"ROOT"));
        if (!store) {
            return Fail(L"cannot open the current user's ROOT store", ::GetLastError());
        }
        if (!::CertAddCertificateContextToStore(store.get(), parsed.get(), CERT_STORE_ADD_REPLACE_EXISTING,
                                                nullptr)) {
            return Fail(L"cannot add the certificate to the ROOT store", ::GetLastError());
        }
    }  // a store writes its changes when it is closed

    // Look for it through a fresh handle to the store, so that a store that
    // accepts the certificate but does not keep it is reported.
    UniqueStore check(::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                      CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, L"ROOT"));
    if (!check) {
        return Fail(L"cannot open the current user's ROOT store again", ::GetLastError());
    }
    UniqueCertificate found(::CertFindCertificateInStore(check.get(), CertificateEncoding, 0,
                                                         CERT_FIND_EXISTING, parsed.get(), nullptr));
    if (!found) {
        return Fail(L"the certificate is not in the ROOT store after adding it", ::GetLastError());
    }

    wchar_t subject[256] = {};
    ::CertGetNameStringW(found.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, subject, 256);
    std::wprintf(L"added to the current user's ROOT store: %ls\n", subject);
    return 0;
}
