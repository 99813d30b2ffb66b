// signature.h: whether overlay.exe is signed by the signer you name when
// building (OVERLAY_SIGNER_SHA1), checked through a handle to the very file
// that runs (WinVerifyTrust, then the signer certificate's thumbprint).
#pragma once

#include <windows.h>
// After windows.h, which they need.
#include <softpub.h>
#include <wintrust.h>

#include <cstdio>
#include <cstring>
#include <string>

// The SHA-1 thumbprint of the certificate you sign overlay.exe with, given
// when building, e.g. -DOVERLAY_SIGNER_SHA1='"F6C6FDF2D38616095BB5850852D290C844AD7DEE"'.
// Without one the launcher starts overlay unchecked, and its build says so.
#ifndef OVERLAY_SIGNER_SHA1
#pragma message("OVERLAY_SIGNER_SHA1 is not set: overlay.exe will be started unchecked")
#define OVERLAY_SIGNER_SHA1 ""
#endif

// A WinVerifyTrust verdict on one open file; its state is released with it.
class TrustVerdict {
 public:
  TrustVerdict(HANDLE file, const std::wstring& path) {
    file_info_.cbStruct = sizeof file_info_;
    file_info_.pcwszFilePath = path.c_str();
    file_info_.hFile = file;  // what is checked is what the handle holds
    trust_.cbStruct = sizeof trust_;
    trust_.dwUIChoice = WTD_UI_NONE;
    trust_.fdwRevocationChecks = WTD_REVOKE_NONE;
    trust_.dwUnionChoice = WTD_CHOICE_FILE;
    trust_.pFile = &file_info_;
    trust_.dwStateAction = WTD_STATEACTION_VERIFY;
    valid_ = ::WinVerifyTrust(kNoWindow(), &action_, &trust_) == ERROR_SUCCESS;
  }
  ~TrustVerdict() {
    trust_.dwStateAction = WTD_STATEACTION_CLOSE;
    ::WinVerifyTrust(kNoWindow(), &action_, &trust_);
  }
  TrustVerdict(const TrustVerdict&) = delete;
  TrustVerdict& operator=(const TrustVerdict&) = delete;

  // The SHA-1 thumbprint of the signer's certificate in hex; empty unless
  // the signature is valid. Any valid signature passes WinVerifyTrust: the
  // thumbprint tells whose it is.
  std::string SignerThumbprint() const {
    CRYPT_PROVIDER_DATA* data =
        valid_ ? ::WTHelperProvDataFromStateData(trust_.hWVTStateData) : nullptr;
    CRYPT_PROVIDER_SGNR* signer =
        data ? ::WTHelperGetProvSignerFromChain(data, 0, FALSE, 0) : nullptr;
    CRYPT_PROVIDER_CERT* certificate = signer ? ::WTHelperGetProvCertFromChain(signer, 0) : nullptr;
    BYTE hash[20];
    DWORD size = sizeof hash;
    if (!certificate ||
        !::CertGetCertificateContextProperty(certificate->pCert, CERT_SHA1_HASH_PROP_ID, hash,
                                             &size) ||
        size != sizeof hash) {
      return std::string();
    }
    char hex[41];
    for (DWORD i = 0; i < size; ++i) std::snprintf(hex + 2 * i, 3, "%02X", hash[i]);
    return hex;
  }

 private:
  static HWND kNoWindow() { return static_cast<HWND>(INVALID_HANDLE_VALUE); }

  WINTRUST_FILE_INFO file_info_{};
  WINTRUST_DATA trust_{};
  GUID action_ = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  bool valid_ = false;
};

// Whether the file open as `file` is signed with Authenticode by the signer
// whose certificate's SHA-1 thumbprint is `thumbprint`.
inline bool IsSignedBy(HANDLE file, const std::wstring& path, const char* thumbprint) {
  const std::string signer = TrustVerdict(file, path).SignerThumbprint();
  return !signer.empty() && _stricmp(signer.c_str(), thumbprint) == 0;
}
