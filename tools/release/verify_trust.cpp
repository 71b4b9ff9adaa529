// Asks Windows whether it trusts a signed file's Authenticode signature, the
// way the shell does before it runs a downloaded program: WinVerifyTrust with
// the generic verify action, no user interface, no revocation check (a test
// root has no revocation list to fetch).
//
//   pelorin_verify_trust.exe FILE
//
// Prints the answer ("trusted" and the signer, or the error code and its
// name) and exits with 0 when the signature is trusted, 1 when it is not, 2
// for a wrong command line.

#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstdio>
#include <cwchar>

namespace {

const wchar_t* NameOf(LONG status) {
    switch (static_cast<HRESULT>(status)) {
        case TRUST_E_NOSIGNATURE: return L"TRUST_E_NOSIGNATURE (no signature)";
        case TRUST_E_BAD_DIGEST: return L"TRUST_E_BAD_DIGEST (the file differs from what was signed)";
        case TRUST_E_SUBJECT_FORM_UNKNOWN: return L"TRUST_E_SUBJECT_FORM_UNKNOWN";
        case TRUST_E_PROVIDER_UNKNOWN: return L"TRUST_E_PROVIDER_UNKNOWN";
        case TRUST_E_ACTION_UNKNOWN: return L"TRUST_E_ACTION_UNKNOWN";
        case TRUST_E_SUBJECT_NOT_TRUSTED: return L"TRUST_E_SUBJECT_NOT_TRUSTED";
        case TRUST_E_EXPLICIT_DISTRUST: return L"TRUST_E_EXPLICIT_DISTRUST";
        case TRUST_E_CERT_SIGNATURE: return L"TRUST_E_CERT_SIGNATURE";
        case TRUST_E_NO_SIGNER_CERT: return L"TRUST_E_NO_SIGNER_CERT";
        case CERT_E_UNTRUSTEDROOT: return L"CERT_E_UNTRUSTEDROOT (the root is not trusted)";
        case CERT_E_CHAINING: return L"CERT_E_CHAINING (no chain to a root)";
        case CERT_E_EXPIRED: return L"CERT_E_EXPIRED";
        case CERT_E_WRONG_USAGE: return L"CERT_E_WRONG_USAGE";
        case CRYPT_E_SECURITY_SETTINGS: return L"CRYPT_E_SECURITY_SETTINGS";
        case CRYPT_E_FILE_ERROR: return L"CRYPT_E_FILE_ERROR";
        default: return L"";
    }
}

// Ends the verification's state whatever happens after it was opened.
class TrustState {
public:
    explicit TrustState(WINTRUST_DATA& data) : data_(data) {}
    ~TrustState() {
        GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
        data_.dwStateAction = WTD_STATEACTION_CLOSE;
        ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data_);
    }
    TrustState(const TrustState&) = delete;
    TrustState& operator=(const TrustState&) = delete;

private:
    WINTRUST_DATA& data_;
};

void PrintSigner(HANDLE state) {
    CRYPT_PROVIDER_DATA* provider = ::WTHelperProvDataFromStateData(state);
    if (provider == nullptr) return;
    CRYPT_PROVIDER_SGNR* signer = ::WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
    if (signer == nullptr || signer->csCertChain == 0 || signer->pasCertChain == nullptr) return;
    wchar_t name[256] = {};
    ::CertGetNameStringW(signer->pasCertChain[0].pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 256);
    std::wprintf(L"signer: %ls\n", name);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fwprintf(stderr, L"usage: pelorin_verify_trust FILE\n");
        return 2;
    }
    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = argv[1];

    WINTRUST_DATA data{};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG status = ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    const TrustState state(data);
    if (status == ERROR_SUCCESS) {
        std::wprintf(L"WinVerifyTrust: trusted\n");
        PrintSigner(data.hWVTStateData);
        return 0;
    }
    std::wprintf(L"WinVerifyTrust: not trusted, 0x%08lX %ls\n", static_cast<unsigned long>(status), NameOf(status));
    return 1;
}
