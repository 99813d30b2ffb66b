// signature.h: whether overlay.exe is signed by the signer you name when
// building (OVERLAY_SIGNER_SHA1), checked through a handle to the very file
// that runs (WinVerifyTrust, then the signer certificate's thumbprint); what
// is wrong when it is not (no signature, another signer's, or one that does
// not verify); and which overlay.exe runs: the game folder's, or the
// update's when only that one passes.
#pragma once

#include <windows.h>
// After windows.h, which they need.
#include <softpub.h>
#include <wintrust.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "basics.h"
#include "matching.h"
#include "messages.h"

// The SHA-1 thumbprint of the certificate you sign overlay.exe with, given
// when building: -DOVERLAY_SIGNER_SHA1='"<40 hex digits>"'. Anything but 40
// hex digits (the README's placeholder among them) stops the build, so that
// no launcher pins a signer that is not yours and refuses every update.
// Without one the launcher starts overlay unchecked, and its build says so.
#ifndef OVERLAY_SIGNER_SHA1
#pragma message("OVERLAY_SIGNER_SHA1 is not set: overlay.exe will be started unchecked")
#define OVERLAY_SIGNER_SHA1 ""
#endif

constexpr bool IsThumbprint(const char* text, int digits = 0) {
  return *text == '\0' ? digits == 40
                       : ((*text >= '0' && *text <= '9') || (*text >= 'A' && *text <= 'F') ||
                          (*text >= 'a' && *text <= 'f')) &&
                             IsThumbprint(text + 1, digits + 1);
}
static_assert(OVERLAY_SIGNER_SHA1[0] == '\0' || IsThumbprint(OVERLAY_SIGNER_SHA1),
              "OVERLAY_SIGNER_SHA1 must be the SHA-1 thumbprint of the certificate you sign "
              "overlay.exe with: 40 hex digits, no blanks or colons (openssl x509 -noout "
              "-fingerprint -sha1 -in yours.pem, or the certificate's Details tab)");

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
    result_ = ::WinVerifyTrust(kNoWindow(), &action_, &trust_);
  }
  ~TrustVerdict() {
    trust_.dwStateAction = WTD_STATEACTION_CLOSE;
    ::WinVerifyTrust(kNoWindow(), &action_, &trust_);
  }
  TrustVerdict(const TrustVerdict&) = delete;
  TrustVerdict& operator=(const TrustVerdict&) = delete;

  // WinVerifyTrust's answer: ERROR_SUCCESS for a valid signature.
  LONG result() const { return result_; }

  // The SHA-1 thumbprint of the signer's certificate in hex; empty unless
  // the signature is valid. Any valid signature passes WinVerifyTrust: the
  // thumbprint tells whose it is.
  std::string SignerThumbprint() const {
    CRYPT_PROVIDER_DATA* data =
        result_ == ERROR_SUCCESS ? ::WTHelperProvDataFromStateData(trust_.hWVTStateData) : nullptr;
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
  LONG result_ = TRUST_E_NOSIGNATURE;
};

// Beside kOverlayNotSigned (another signer's valid signature): the other two
// causes a copy of overlay may not run.
constexpr wchar_t kOverlayUnsigned[] =
    L"The update was not started: overlay.exe in the game folder carries no signature.";
constexpr wchar_t kOverlaySignatureBroken[] =
    L"The update was not started: the signature of overlay.exe in the game folder does not "
    L"verify; the file was changed after it was signed.";

// Why the file open as `file` may not run, told to the player; empty when it
// is signed with Authenticode by the signer whose certificate's SHA-1
// thumbprint is `thumbprint`. WinVerifyTrust tells the three causes apart:
// no signature, a valid signature (then the thumbprint tells whose), or one
// that does not verify (the file changed after signing, or, on Windows, a
// certificate no trusted root vouches for).
inline std::wstring SignatureFault(HANDLE file, const std::wstring& path, const char* thumbprint) {
  const TrustVerdict verdict(file, path);
  switch (verdict.result()) {
    case ERROR_SUCCESS: {
      const std::string signer = verdict.SignerThumbprint();
      return !signer.empty() && _stricmp(signer.c_str(), thumbprint) == 0 ? std::wstring()
                                                                          : kOverlayNotSigned;
    }
    case TRUST_E_NOSIGNATURE:
    case TRUST_E_SUBJECT_FORM_UNKNOWN:
    case TRUST_E_PROVIDER_UNKNOWN:
      return kOverlayUnsigned;
    default:
      return kOverlaySignatureBroken;
  }
}

// Copies `overlay` to `copy` and opens the copy as `checked`, a handle that
// lets nobody write, rename or delete it until overlay has started from it:
// what is checked is what runs. Returns why it may not run; empty when it may.
inline std::wstring CopyAndCheck(const std::wstring& overlay, const std::wstring& copy,
                                 UniqueHandle* checked) {
  *checked = UniqueHandle();  // an earlier copy, released to be replaced
  DeleteEntry(PlaceOf(copy));
  // Never over what is there: it may lead elsewhere.
  if (!::CopyFileW(overlay.c_str(), copy.c_str(), TRUE)) {
    const DWORD error = ::GetLastError();
    const bool found = ::GetFileAttributesW(overlay.c_str()) != INVALID_FILE_ATTRIBUTES;
    return UpdateNotStartedText(error, found ? copy : overlay);
  }
  *checked = UniqueHandle(::CreateFileW(copy.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
  if (!*checked) return UpdateNotStartedText(::GetLastError(), copy);
  return OVERLAY_SIGNER_SHA1[0] == '\0' ? std::wstring()
                                        : SignatureFault(checked->get(), copy, OVERLAY_SIGNER_SHA1);
}

// The copy that overlay runs from: of the game folder's overlay.exe, or,
// when that one may not run, of the update's when it may, so that an update
// carrying a good overlay.exe repairs a bad one. Returns why the game
// folder's may not run when neither may; empty when `checked` holds one.
inline std::wstring CheckedOverlayCopy(const std::wstring& game, const std::wstring& update,
                                       const std::wstring& copy, UniqueHandle* checked) {
  const std::wstring fault = CopyAndCheck(game + L"\\overlay.exe", copy, checked);
  if (fault.empty() || CopyAndCheck(update + L"\\overlay.exe", copy, checked).empty()) {
    return std::wstring();
  }
  *checked = UniqueHandle();
  return fault;
}
