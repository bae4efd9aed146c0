// Our cryptographic provider in a program of its own (this test), over the
// certificates the real monitor registered for a plugged-in virtual token:
// CryptoAPI signs and decrypts with the token's keys, asks for the PIN in
// this process, and fails cleanly without one or without the token.
#include <windows.h>
#include <psapi.h>
#include <wincrypt.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "csp/pin_prompt_win.h"
#include "e2e_support_win_test.h"
#include "test_paths.h"

namespace {

constexpr wchar_t kProviderKey[] =
    L"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\Veltrox Pelkin V9Arc CSP V1.1";
constexpr char kBobPin[] = "24681357";
// Rounds of the acquire-sign-release scenario; CORVANEX_PROVIDER_ROUNDS
// asks for more in a run by hand (the suite keeps to what fits its time).
int Rounds() {
  const char* asked = std::getenv("CORVANEX_PROVIDER_ROUNDS");
  // More than the 1,080 after which a thread-local slot per load ran out.
  return asked && std::atoi(asked) > 0 ? std::atoi(asked) : 1200;
}

void WriteProviderKey(REGSAM view, const std::wstring& image) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProviderKey, 0, nullptr, 0, KEY_WRITE | view,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const DWORD type = PROV_RSA_FULL, signatureInFile = 0;
  RegSetValueExW(key, L"Image Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(image.c_str()),
                 static_cast<DWORD>((image.size() + 1) * sizeof(wchar_t)));
  RegSetValueExW(key, L"Type", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&type), sizeof type);
  RegSetValueExW(key, L"SigInFile", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&signatureInFile),
                 sizeof signatureInFile);
  RegCloseKey(key);
}

using Bytes = std::vector<BYTE>;

class ProviderTest : public MonitorScenario {
 protected:
  void SetUp() override {
    MonitorScenario::SetUp();
    // Registered as this build's installer does: in the 64-bit view, where
    // the monitor and 64-bit programs such as this one look.
    WriteProviderKey(KEY_WOW64_64KEY, monitor.appDir() + L"CorvanexCsp64.dll");
    trace_ = monitor.appData() + L"module-trace.txt";
    _wputenv((L"CORVANEXMGR_TRACE=" + trace_).c_str());
    // This program is the user's: it reads the user's language settings.
    _wputenv((L"APPDATA=" + monitor.appData()).c_str());
    SetEnvironmentVariableW(L"APPDATA", monitor.appData().c_str());
  }
  void TearDown() override {
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kProviderKey, KEY_WOW64_64KEY, 0);
    _wputenv(L"CORVANEXMGR_TRACE=");
    MonitorScenario::TearDown();
  }

  // Bob's token plugged in with the monitor running, and the certificate it
  // registered for his container, linked to our provider.
  PCCERT_CONTEXT BobsRegisteredCertificate(const std::string& language = "2052", int slot = 0) {
    EXPECT_TRUE(StartWith("LanguageID=" + language + "\r\nCertTips=0\r\n"));
    monitor.Plug(slot, L"bob");
    return Registered(L"Bob");
  }
  static PCCERT_CONTEXT Registered(const std::wstring& container) {
    PCCERT_CONTEXT found = nullptr;
    WaitUntil([&] {
      found = FindOurs(container);
      return found != nullptr;
    });
    return found;
  }
  // Carol's token: her own serial and PIN, and a container named "Bob" as
  // Bob's is, holding another key (Alice's exchange key).
  void MakeCarolsToken() {
    const std::wstring alice = monitor.tokenFolder(L"alice") + L"\\";
    const std::wstring carol = monitor.tokenFolder(L"carol") + L"\\";
    ASSERT_TRUE(CreateDirectoryW(carol.c_str(), nullptr));
    for (const wchar_t* file : {L"alice-exchange.der", L"alice-exchange.key.der"})
      ASSERT_TRUE(CopyFileW((alice + file).c_str(), (carol + file).c_str(), FALSE));
    std::ofstream(std::filesystem::path(carol + L"token.ini"))
        << "[token]\r\nlabel=Carol\r\nserial=C000000003\r\nuserPin=13572468\r\n"
           "[container:Bob]\r\nexchange=alice-exchange.der\r\n"
           "exchangeKey=alice-exchange.key.der\r\n";
  }
  // cert's key signs data, with pin passed as a program passes it, and the
  // signature verifies against cert.
  void SignsAndVerifies(PCCERT_CONTEXT cert, const char* pin) {
    Key key = AcquireKey(cert);
    ASSERT_TRUE(key.provider);
    ASSERT_TRUE(
        CryptSetProvParam(key.provider, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>(pin), 0))
        << std::hex << GetLastError();
    DWORD error = 0;
    std::optional<Bytes> signature = SignSha256(key, data, &error);
    CryptReleaseContext(key.provider, 0);
    ASSERT_TRUE(signature) << std::hex << error;
    EXPECT_TRUE(Verifies(cert, data, *signature));
  }
  static PCCERT_CONTEXT FindOurs(const std::wstring& container) {
    HCERTSTORE store = CertOpenSystemStoreW(0, L"MY");
    PCCERT_CONTEXT cert = nullptr;
    while ((cert = CertEnumCertificatesInStore(store, cert))) {
      DWORD size = 0;
      if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size))
        continue;
      Bytes buffer(size);
      CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size);
      const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
      if (info->pwszProvName && std::wstring(info->pwszProvName) == kOurProvider &&
          info->pwszContainerName && container == info->pwszContainerName)
        break;
    }
    CertCloseStore(store, 0);
    return cert;
  }
  struct Key {
    HCRYPTPROV provider = 0;
    DWORD keySpec = 0;
  };
  static Key AcquireKey(PCCERT_CONTEXT cert, DWORD flags = 0) {
    Key key;
    BOOL mustFree = FALSE;
    EXPECT_TRUE(CryptAcquireCertificatePrivateKey(cert, flags, nullptr, &key.provider, &key.keySpec,
                                                  &mustFree))
        << std::hex << GetLastError();
    return key;
  }
  // The signature of data's SHA-256 through provider, or nothing with the
  // error in *error.
  static std::optional<Bytes> SignSha256(const Key& key, const Bytes& data, DWORD* error) {
    return SignHashOf(key, CALG_SHA_256, data, error);
  }
  static std::optional<Bytes> SignHashOf(const Key& key,
                                         ALG_ID alg,
                                         const Bytes& data,
                                         DWORD* error) {
    HCRYPTHASH hash = 0;
    if (!CryptCreateHash(key.provider, alg, 0, 0, &hash)) {
      *error = GetLastError();
      return std::nullopt;
    }
    CryptHashData(hash, data.data(), static_cast<DWORD>(data.size()), 0);
    DWORD length = 0;
    std::optional<Bytes> signature;
    if (CryptSignHashW(hash, key.keySpec, nullptr, 0, nullptr, &length)) {
      Bytes out(length);
      if (CryptSignHashW(hash, key.keySpec, nullptr, 0, out.data(), &length))
        signature = Bytes(out.begin(), out.begin() + length);
    }
    *error = signature ? 0 : GetLastError();
    CryptDestroyHash(hash);
    return signature;
  }
  // Whether signature is data's SHA-256 signed by cert's key, checked by
  // Microsoft's own provider.
  static bool Verifies(PCCERT_CONTEXT cert,
                       const Bytes& data,
                       const Bytes& signature,
                       ALG_ID alg = CALG_SHA_256) {
    HCRYPTPROV verifier = 0;
    CryptAcquireContextW(&verifier, nullptr, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                         CRYPT_VERIFYCONTEXT);
    HCRYPTKEY publicKey = 0;
    HCRYPTHASH hash = 0;
    bool ok = CryptImportPublicKeyInfo(verifier, X509_ASN_ENCODING,
                                       &cert->pCertInfo->SubjectPublicKeyInfo, &publicKey) &&
              CryptCreateHash(verifier, alg, 0, 0, &hash) &&
              CryptHashData(hash, data.data(), static_cast<DWORD>(data.size()), 0) &&
              CryptVerifySignatureW(hash, signature.data(), static_cast<DWORD>(signature.size()),
                                    publicKey, nullptr, 0);
    CryptDestroyHash(hash);
    CryptDestroyKey(publicKey);
    CryptReleaseContext(verifier, 0);
    return ok;
  }
  std::string Trace() const {
    std::ifstream in{std::filesystem::path(trace_)};
    return {std::istreambuf_iterator<char>(in), {}};
  }
  std::wstring trace_;
  const Bytes data = Bytes(1000, 0x5a);
};

// Answers each PIN prompt of this process in turn from answers, recording
// the tries text each one showed; counts prompts of any kind.
class PromptAnswerer {
 public:
  explicit PromptAnswerer(std::vector<std::wstring> answers) : answers_(std::move(answers)) {
    thread_ = std::thread([this] { Run(); });
  }
  ~PromptAnswerer() {
    stop_ = true;
    thread_.join();
  }
  std::vector<std::wstring> triesTexts;
  std::atomic<int> prompts{0};

 private:
  void Run() {
    std::size_t next = 0;
    while (!stop_) {
      HWND form = FindWindowW(L"TLoginForm", nullptr);
      if (!form || !IsWindowVisible(form)) {
        Sleep(50);
        continue;
      }
      ++prompts;
      wchar_t tries[200] = {};
      GetDlgItemTextW(form, kLoginTriesText, tries, 200);
      triesTexts.push_back(tries);
      if (next < answers_.size()) {
        SetDlgItemTextW(form, kLoginPinEdit, answers_[next++].c_str());
        PostMessageW(form, WM_COMMAND, MAKEWPARAM(kLoginButton, BN_CLICKED), 0);
      } else {
        PostMessageW(form, WM_COMMAND, MAKEWPARAM(kLoginCancelButton, BN_CLICKED), 0);
      }
      WaitUntil([&] { return !IsWindow(form); }, std::chrono::seconds(10));
    }
  }
  std::vector<std::wstring> answers_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST_F(ProviderTest, ARegisteredCertificateSignsOnTheTokenAndTheSignatureVerifies) {
  PCCERT_CONTEXT cert = BobsRegisteredCertificate();
  ASSERT_TRUE(cert) << "the monitor registered no certificate of Bob's with our provider";
  Key key = AcquireKey(cert);
  ASSERT_TRUE(key.provider);
  EXPECT_EQ(key.keySpec, static_cast<DWORD>(AT_KEYEXCHANGE));
  ASSERT_TRUE(CryptSetProvParam(key.provider, PP_KEYEXCHANGE_PIN,
                                reinterpret_cast<const BYTE*>(kBobPin), 0));
  DWORD error = 0;
  std::optional<Bytes> signature = SignSha256(key, data, &error);
  ASSERT_TRUE(signature) << std::hex << error;
  EXPECT_EQ(signature->size(), 256u);
  EXPECT_TRUE(Verifies(cert, data, *signature));
  Bytes changed = *signature;
  changed[17] ^= 1;
  EXPECT_FALSE(Verifies(cert, data, changed));
  // Each hash's DigestInfo as Microsoft's own provider checks it, byte for
  // byte.
  for (ALG_ID alg : {CALG_MD5, CALG_SHA1, CALG_SHA_256, CALG_SHA_384, CALG_SHA_512}) {
    std::optional<Bytes> signed_ = SignHashOf(key, alg, data, &error);
    ASSERT_TRUE(signed_) << std::hex << alg << " " << error;
    EXPECT_TRUE(Verifies(cert, data, *signed_, alg)) << std::hex << alg;
  }
  EXPECT_NE(Trace().find("C_Sign"), std::string::npos);

  // A whole signed message, through the key CryptoAPI acquires itself.
  CRYPT_SIGN_MESSAGE_PARA para{};
  para.cbSize = sizeof para;
  para.dwMsgEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  para.pSigningCert = cert;
  para.HashAlgorithm.pszObjId = const_cast<char*>(szOID_NIST_sha256);
  para.cMsgCert = 1;
  para.rgpMsgCert = &cert;
  const BYTE* parts[] = {data.data()};
  DWORD sizes[] = {static_cast<DWORD>(data.size())};
  DWORD messageLength = 0;
  ASSERT_TRUE(CryptSignMessage(&para, FALSE, 1, parts, sizes, nullptr, &messageLength));
  Bytes message(messageLength);
  ASSERT_TRUE(CryptSignMessage(&para, FALSE, 1, parts, sizes, message.data(), &messageLength))
      << std::hex << GetLastError();
  CRYPT_VERIFY_MESSAGE_PARA verify{};
  verify.cbSize = sizeof verify;
  verify.dwMsgAndCertEncodingType = para.dwMsgEncodingType;
  EXPECT_TRUE(CryptVerifyMessageSignature(&verify, 0, message.data(), messageLength, nullptr,
                                          nullptr, nullptr));
  CryptReleaseContext(key.provider, 0);
  CertFreeCertificateContext(cert);
  End();
}

TEST_F(ProviderTest, AMessageEncryptedToTheCertificateIsDecryptedByTheToken) {
  PCCERT_CONTEXT cert = BobsRegisteredCertificate();
  ASSERT_TRUE(cert);
  CRYPT_ENCRYPT_MESSAGE_PARA encrypt{};
  encrypt.cbSize = sizeof encrypt;
  encrypt.dwMsgEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  encrypt.ContentEncryptionAlgorithm.pszObjId = const_cast<char*>(szOID_RSA_DES_EDE3_CBC);
  DWORD length = 0;
  ASSERT_TRUE(CryptEncryptMessage(&encrypt, 1, &cert, data.data(), static_cast<DWORD>(data.size()),
                                  nullptr, &length));
  Bytes enveloped(length);
  ASSERT_TRUE(CryptEncryptMessage(&encrypt, 1, &cert, data.data(), static_cast<DWORD>(data.size()),
                                  enveloped.data(), &length))
      << std::hex << GetLastError();
  enveloped.resize(length);

  Key key = AcquireKey(cert);
  ASSERT_TRUE(CryptSetProvParam(key.provider, PP_KEYEXCHANGE_PIN,
                                reinterpret_cast<const BYTE*>(kBobPin), 0));
  HCRYPTMSG msg = CryptMsgOpenToDecode(encrypt.dwMsgEncodingType, 0, 0, 0, nullptr, nullptr);
  ASSERT_TRUE(CryptMsgUpdate(msg, enveloped.data(), length, TRUE));
  CMSG_CTRL_DECRYPT_PARA decrypt{};
  decrypt.cbSize = sizeof decrypt;
  decrypt.hCryptProv = key.provider;
  decrypt.dwKeySpec = key.keySpec;
  decrypt.dwRecipientIndex = 0;
  ASSERT_TRUE(CryptMsgControl(msg, 0, CMSG_CTRL_DECRYPT, &decrypt)) << std::hex << GetLastError();
  DWORD plainLength = 0;
  CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, nullptr, &plainLength);
  Bytes plain(plainLength);
  ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, plain.data(), &plainLength));
  plain.resize(plainLength);
  EXPECT_EQ(plain, data);
  EXPECT_NE(Trace().find("C_Decrypt"), std::string::npos);
  CryptMsgClose(msg);
  CryptReleaseContext(key.provider, 0);
  CertFreeCertificateContext(cert);
  End();
}

TEST_F(ProviderTest, WithoutAPinSilentFailsWithoutAWindowAndThePromptSaysAPinWasWrong) {
  PCCERT_CONTEXT cert = BobsRegisteredCertificate("1033");
  ASSERT_TRUE(cert);
  {
    PromptAnswerer watcher({});
    Key silent = AcquireKey(cert, CRYPT_ACQUIRE_SILENT_FLAG);
    DWORD error = 0;
    EXPECT_FALSE(SignSha256(silent, data, &error));
    EXPECT_EQ(error, static_cast<DWORD>(NTE_SILENT_CONTEXT));
    EXPECT_EQ(watcher.prompts, 0);
    CryptReleaseContext(silent.provider, 0);
  }
  {
    // A wrong PIN, then the right one: the second prompt says it was wrong.
    PromptAnswerer answerer({L"11111111", L"24681357"});
    Key key = AcquireKey(cert);
    DWORD error = 0;
    std::optional<Bytes> signature = SignSha256(key, data, &error);
    ASSERT_TRUE(signature) << std::hex << error;
    EXPECT_TRUE(Verifies(cert, data, *signature));
    ASSERT_EQ(answerer.triesTexts.size(), 2u);
    EXPECT_EQ(answerer.triesTexts[0], L"");
    // PKCS#11 tells no count before the final try: none is made up.
    EXPECT_EQ(answerer.triesTexts[1], L"Wrong PIN");
    CryptReleaseContext(key.provider, 0);
  }
  {
    PromptAnswerer canceller({});
    Key key = AcquireKey(cert);
    DWORD error = 0;
    EXPECT_FALSE(SignSha256(key, data, &error));
    EXPECT_EQ(error, static_cast<DWORD>(SCARD_W_CANCELLED_BY_USER));
    EXPECT_EQ(canceller.prompts, 1);
    CryptReleaseContext(key.provider, 0);
  }
  CertFreeCertificateContext(cert);
  End();
}

TEST_F(ProviderTest, TwoProgramsSignAtOnceEachWithItsOwnLogin) {
  PCCERT_CONTEXT cert = BobsRegisteredCertificate();
  ASSERT_TRUE(cert);
  CertFreeCertificateContext(cert);
  const std::wstring command = L"\"" DRIVER_EXE_PATH
                               L"\" sign --provider \"Veltrox Pelkin V9Arc CSP V1.1\" "
                               L"--container Bob --keyspec 1 --silent --pin 24681357";
  const std::wstring outputs[] = {monitor.appData() + L"first.txt",
                                  monitor.appData() + L"second.txt"};
  UniqueKernelHandle first = StartProcess(command, outputs[0]);
  UniqueKernelHandle second = StartProcess(command, outputs[1]);
  ASSERT_TRUE(first && second);
  for (HANDLE program : {first.get(), second.get()}) {
    const auto code = InstalledMonitor::WaitForExit(program, std::chrono::seconds(60));
    ASSERT_TRUE(code) << "a signing program hung";
    EXPECT_EQ(*code, 0u);
  }
  for (const std::wstring& output : outputs)
    EXPECT_NE(ReadBytes(output).find("signed: 256 bytes"), std::string::npos) << ReadBytes(output);
  End();
}

TEST_F(ProviderTest, APulledTokenFailsCleanly) {
  PCCERT_CONTEXT cert = BobsRegisteredCertificate();
  ASSERT_TRUE(cert);
  Key key = AcquireKey(cert);
  ASSERT_TRUE(CryptSetProvParam(key.provider, PP_KEYEXCHANGE_PIN,
                                reinterpret_cast<const BYTE*>(kBobPin), 0));
  monitor.Unplug(0);
  DWORD error = 0;
  EXPECT_FALSE(SignSha256(key, data, &error));
  EXPECT_EQ(error, static_cast<DWORD>(SCARD_W_REMOVED_CARD));
  CryptReleaseContext(key.provider, 0);
  // Acquiring again finds no token to hold the container.
  HCRYPTPROV again = 0;
  EXPECT_FALSE(CryptAcquireContextW(&again, L"Bob", kOurProvider, PROV_RSA_FULL, CRYPT_SILENT));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(SCARD_E_NO_SMARTCARD));
  CertFreeCertificateContext(cert);
  End();
}

TEST_F(ProviderTest, ATokenInTheSecondSlotAndTwoTokensWithOneContainerNameEachSignWithTheirOwnKey) {
  MakeCarolsToken();
  // Alone in the second slot: linked by the plain name, and it signs.
  PCCERT_CONTEXT bob = BobsRegisteredCertificate("2052", 1);
  ASSERT_TRUE(bob);
  SignsAndVerifies(bob, kBobPin);
  CertFreeCertificateContext(bob);

  // Carol's "Bob" beside it: each link names its token, and each
  // certificate signs with its own token's key.
  monitor.Plug(0, L"carol");
  bob = Registered(L"\\\\.\\B000000002\\Bob");
  PCCERT_CONTEXT carol = Registered(L"\\\\.\\C000000003\\Bob");
  ASSERT_TRUE(bob && carol) << "each link names its token while both are in";
  EXPECT_FALSE(FindOurs(L"Bob"));
  SignsAndVerifies(bob, kBobPin);
  SignsAndVerifies(carol, "13572468");
  // A plain "Bob" could be either: refused rather than signed with the wrong key.
  HCRYPTPROV plain = 0;
  EXPECT_FALSE(CryptAcquireContextW(&plain, L"Bob", kOurProvider, PROV_RSA_FULL, CRYPT_SILENT));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
  CertFreeCertificateContext(bob);
  CertFreeCertificateContext(carol);

  // Carol pulled: Bob's link is the plain name again.
  monitor.Unplug(0);
  bob = Registered(L"Bob");
  ASSERT_TRUE(bob);
  SignsAndVerifies(bob, kBobPin);
  CertFreeCertificateContext(bob);
  End();
}

// A program that keeps its context and signs again and again.
TEST_F(ProviderTest, AThousandSignaturesInOneContextKeepMemoryAndHandlesFlat) {
  PCCERT_CONTEXT cert = BobsRegisteredCertificate();
  ASSERT_TRUE(cert);
  Key key = AcquireKey(cert, CRYPT_ACQUIRE_SILENT_FLAG);
  ASSERT_TRUE(CryptSetProvParam(key.provider, PP_KEYEXCHANGE_PIN,
                                reinterpret_cast<const BYTE*>(kBobPin), 0));
  const auto sign = [&] {
    DWORD error = 0;
    return SignSha256(key, data, &error).has_value();
  };
  for (int i = 0; i < 50; ++i)
    ASSERT_TRUE(sign());
  const auto usage = [] {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                         sizeof counters);
    DWORD handles = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handles);
    return std::pair{counters.PrivateUsage, handles};
  };
  const auto [memoryBefore, handlesBefore] = usage();
  int signatures = 0;
  for (int i = 0; i < 1000; ++i)
    signatures += sign() ? 1 : 0;
  const auto [memoryAfter, handlesAfter] = usage();
  EXPECT_EQ(signatures, 1000);
  EXPECT_LE(handlesAfter, handlesBefore + 5);
  EXPECT_LT(memoryAfter, memoryBefore + (1u << 20))
      << "private bytes " << memoryBefore << " then " << memoryAfter;
  CryptReleaseContext(key.provider, 0);
  CertFreeCertificateContext(cert);
  End();
}

// A program that acquires, signs and releases its last context each time
// (the system may unload a provider then) keeps running, and nothing of
// ours stays behind per round.
TEST_F(ProviderTest, RoundsOfAcquireSignAndReleaseLeaveNothingBehind) {
  PCCERT_CONTEXT cert = BobsRegisteredCertificate();
  ASSERT_TRUE(cert);
  const auto round = [&] {
    Key key = AcquireKey(cert, CRYPT_ACQUIRE_SILENT_FLAG);
    CryptSetProvParam(key.provider, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>(kBobPin), 0);
    DWORD error = 0;
    const bool signed_ = SignSha256(key, data, &error).has_value();
    CryptReleaseContext(key.provider, 0);
    return signed_;
  };
  for (int i = 0; i < 20; ++i)
    ASSERT_TRUE(round());
  DWORD before = 0, after = 0;
  GetProcessHandleCount(GetCurrentProcess(), &before);
  const int rounds = Rounds();
  int signedRounds = 0;
  for (int i = 0; i < rounds; ++i)
    signedRounds += round() ? 1 : 0;
  GetProcessHandleCount(GetCurrentProcess(), &after);
  EXPECT_EQ(signedRounds, rounds);
  EXPECT_LE(after, before + 10) << "handles before " << before << ", after " << after;
  CertFreeCertificateContext(cert);
  End();
}

// A window of this thread that counts what it is sent, as a program's own
// window is its thread's.
class ThreadWindow {
 public:
  ThreadWindow() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = &Procedure;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"CorvanexProviderTestHost";
    RegisterClassW(&wc);
    window = CreateWindowExW(0, wc.lpszClassName, L"host", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                             nullptr, nullptr, wc.hInstance, nullptr);
  }
  ~ThreadWindow() { DestroyWindow(window); }
  // Runs this thread's messages until done holds.
  static void PumpUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      MSG msg;
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
  }
  HWND window = nullptr;
  static inline std::function<void()> onApp;

 private:
  static LRESULT CALLBACK Procedure(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_APP && onApp)
      onApp();
    return DefWindowProcW(w, msg, wp, lp);
  }
};

// How long window takes to answer WM_NULL, asked from another thread.
std::chrono::milliseconds AnswerTime(HWND window) {
  std::chrono::milliseconds took{};
  std::atomic<bool> answered{false};
  std::thread asker([&] {
    const auto start = std::chrono::steady_clock::now();
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_BLOCK, 5000, &result);
    took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
    answered = true;
  });
  ThreadWindow::PumpUntil([&] { return answered.load(); });
  asker.join();
  return took;
}

TEST_F(ProviderTest, AProgramsWindowThreadStaysFreeWhileItsWorkerSignsAndAnotherTokenIsSlow) {
  PCCERT_CONTEXT bob = BobsRegisteredCertificate();
  ASSERT_TRUE(bob);
  // Alice's token beside Bob's, each of its signatures taking 2 s.
  const std::filesystem::path ini(monitor.tokenFolder(L"alice") + L"\\token.ini");
  std::string text = ReadBytes(ini.wstring());
  text.insert(text.find("[token]") + 7, "\r\nsignDelayMs=2000");
  std::ofstream(ini, std::ios::binary) << text;
  monitor.Plug(1, L"alice");
  PCCERT_CONTEXT alice = Registered(L"\\\\.\\A000000001\\Alice-Keys");
  ASSERT_TRUE(alice);
  bob = Registered(L"\\\\.\\B000000002\\Bob");
  ASSERT_TRUE(bob);

  ThreadWindow host;
  // The worker signs with Bob's key; its prompt names the program's window,
  // which is this thread's.
  std::atomic<bool> workerDone{false};
  std::optional<Bytes> workerSignature;
  std::thread worker([&] {
    Key key = AcquireKey(bob);
    CryptSetProvParam(key.provider, PP_CLIENT_HWND, reinterpret_cast<const BYTE*>(&host.window), 0);
    DWORD error = 0;
    workerSignature = SignSha256(key, data, &error);
    CryptReleaseContext(key.provider, 0);
    workerDone = true;
  });
  HWND prompt = nullptr;
  ThreadWindow::PumpUntil(
      [&] { return (prompt = FindWindowW(L"TLoginForm", nullptr)) != nullptr; });
  ASSERT_TRUE(prompt) << "the worker's prompt never came";
  // While it is open: this thread answers at once, is not disabled, and
  // calls the provider itself without waiting for the prompt.
  EXPECT_LT(AnswerTime(host.window).count(), 100);
  EXPECT_TRUE(IsWindowEnabled(host.window));
  HCRYPTPROV verify = 0;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(CryptAcquireContextW(&verify, nullptr, kOurProvider, PROV_RSA_FULL,
                                   CRYPT_VERIFYCONTEXT | CRYPT_SILENT));
  char name[100] = {};
  DWORD length = sizeof name;
  EXPECT_TRUE(CryptGetProvParam(verify, PP_NAME, reinterpret_cast<BYTE*>(name), &length, 0));
  EXPECT_STREQ(name, "Veltrox Pelkin V9Arc CSP V1.1");
  CryptReleaseContext(verify, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  SetDlgItemTextW(prompt, kLoginPinEdit, L"24681357");
  PostMessageW(prompt, WM_COMMAND, MAKEWPARAM(kLoginButton, BN_CLICKED), 0);
  ThreadWindow::PumpUntil([&] { return workerDone.load(); });
  worker.join();
  ASSERT_TRUE(workerSignature);
  EXPECT_TRUE(Verifies(bob, data, *workerSignature));

  // Alice's slow signature on a worker holds up neither this thread nor Bob.
  std::atomic<bool> slowDone{false};
  std::thread slow([&] {
    SignsAndVerifies(alice, "12345678");
    slowDone = true;
  });
  Sleep(300);
  const auto bobStart = std::chrono::steady_clock::now();
  SignsAndVerifies(bob, kBobPin);
  EXPECT_LT(std::chrono::steady_clock::now() - bobStart, std::chrono::milliseconds(1500));
  EXPECT_LT(AnswerTime(host.window).count(), 100);
  EXPECT_FALSE(slowDone);
  slow.join();
  CertFreeCertificateContext(alice);
  CertFreeCertificateContext(bob);
  End();
}

TEST_F(ProviderTest, ProgramsListEveryContainerAsDocumentedAndReadTheProvidersName) {
  ASSERT_TRUE(StartWith("LanguageID=2052\r\nCertTips=0\r\n"));
  monitor.Plug(0, L"bob");  // "Bob" first, then Alice's longer names
  monitor.Plug(1, L"alice");
  PCCERT_CONTEXT alice = Registered(L"\\\\.\\A000000001\\Alice-Keys");
  ASSERT_TRUE(alice);
  CertFreeCertificateContext(alice);
  HCRYPTPROV provider = 0;
  ASSERT_TRUE(CryptAcquireContextW(&provider, nullptr, kOurProvider, PROV_RSA_FULL,
                                   CRYPT_VERIFYCONTEXT | CRYPT_SILENT));
  // The loop of CryptGetProvParam's documentation: one size query, one
  // buffer of that size for every name.
  DWORD size = 0;
  ASSERT_TRUE(CryptGetProvParam(provider, PP_ENUMCONTAINERS, nullptr, &size, CRYPT_FIRST));
  std::vector<BYTE> buffer(size);
  std::vector<std::string> names;
  for (DWORD flags = CRYPT_FIRST;; flags = 0) {
    DWORD length = size;
    if (!CryptGetProvParam(provider, PP_ENUMCONTAINERS, buffer.data(), &length, flags)) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
      break;
    }
    names.emplace_back(reinterpret_cast<const char*>(buffer.data()));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Bob", "Alice-Keys", "Alice-Soon", "Alice-Old"}));
  char name[100] = {};
  DWORD length = sizeof name;
  EXPECT_TRUE(CryptGetProvParam(provider, PP_NAME, reinterpret_cast<BYTE*>(name), &length, 0));
  EXPECT_STREQ(name, "Veltrox Pelkin V9Arc CSP V1.1");
  CryptReleaseContext(provider, 0);
  End();
}

TEST_F(ProviderTest, OnAWindowStationNobodySeesAPinNeededFailsAsSilent) {
  PCCERT_CONTEXT cert = BobsRegisteredCertificate();
  ASSERT_TRUE(cert);
  const HWINSTA visible = GetProcessWindowStation();
  HWINSTA hidden = CreateWindowStationW(L"CorvanexHidden", 0, WINSTA_ALL_ACCESS, nullptr);
  ASSERT_TRUE(hidden);
  USEROBJECTFLAGS flags{};
  ASSERT_TRUE(GetUserObjectInformationW(hidden, UOI_FLAGS, &flags, sizeof flags, nullptr));
  ASSERT_FALSE(flags.dwFlags & WSF_VISIBLE) << "this system makes new window stations visible";
  ASSERT_TRUE(SetProcessWindowStation(hidden));
  PromptAnswerer watcher({});
  Key key = AcquireKey(cert);
  DWORD error = 0;
  EXPECT_FALSE(SignSha256(key, data, &error));
  EXPECT_EQ(error, static_cast<DWORD>(NTE_SILENT_CONTEXT));
  CryptReleaseContext(key.provider, 0);
  SetProcessWindowStation(visible);
  CloseWindowStation(hidden);
  EXPECT_EQ(watcher.prompts, 0);
  CertFreeCertificateContext(cert);
  End();
}

// Straight at the provider's entry points, as CryptoAPI calls them: a
// program's message handler, run by our prompt's loop, calls the same
// context again and releases it.
TEST_F(ProviderTest, AContextReleasedFromInsideItsPromptLivesUntilItsSignatureEnds) {
  PCCERT_CONTEXT cert = BobsRegisteredCertificate();
  ASSERT_TRUE(cert);
  HMODULE dll = LoadLibraryW((monitor.appDir() + L"CorvanexCsp64.dll").c_str());
  ASSERT_TRUE(dll);
  using Acquire = BOOL(WINAPI*)(HCRYPTPROV*, LPCSTR, DWORD, void*);
  using Release = BOOL(WINAPI*)(HCRYPTPROV, DWORD);
  using CreateHash = BOOL(WINAPI*)(HCRYPTPROV, ALG_ID, HCRYPTKEY, DWORD, HCRYPTHASH*);
  using HashData = BOOL(WINAPI*)(HCRYPTPROV, HCRYPTHASH, const BYTE*, DWORD, DWORD);
  using SignHash = BOOL(WINAPI*)(HCRYPTPROV, HCRYPTHASH, DWORD, LPCWSTR, DWORD, BYTE*, DWORD*);
  using GetParam = BOOL(WINAPI*)(HCRYPTPROV, DWORD, BYTE*, DWORD*, DWORD);
  const auto acquire = reinterpret_cast<Acquire>(GetProcAddress(dll, "CPAcquireContext"));
  const auto release = reinterpret_cast<Release>(GetProcAddress(dll, "CPReleaseContext"));
  const auto createHash = reinterpret_cast<CreateHash>(GetProcAddress(dll, "CPCreateHash"));
  const auto hashData = reinterpret_cast<HashData>(GetProcAddress(dll, "CPHashData"));
  const auto signHash = reinterpret_cast<SignHash>(GetProcAddress(dll, "CPSignHash"));
  const auto getParam = reinterpret_cast<GetParam>(GetProcAddress(dll, "CPGetProvParam"));
  ASSERT_TRUE(acquire && release && createHash && hashData && signHash && getParam);

  HCRYPTPROV context = 0;
  ASSERT_TRUE(acquire(&context, "Bob", 0, nullptr)) << std::hex << GetLastError();
  HCRYPTHASH hash = 0;
  ASSERT_TRUE(createHash(context, CALG_SHA_256, 0, 0, &hash));
  ASSERT_TRUE(hashData(context, hash, data.data(), static_cast<DWORD>(data.size()), 0));

  ThreadWindow host;
  DWORD reentered = 0;
  BOOL released = FALSE;
  ThreadWindow::onApp = [&] {
    char name[100];
    DWORD length = sizeof name;
    if (!getParam(context, PP_NAME, reinterpret_cast<BYTE*>(name), &length, 0))
      reentered = GetLastError();
    released = release(context, 0);
  };
  // Once the prompt is up, this thread's window gets a message through it.
  std::thread poster([&] {
    WaitUntil([] { return FindWindowW(L"TLoginForm", nullptr) != nullptr; });
    PostMessageW(host.window, WM_APP, 0, 0);
    WaitUntil([&] { return released != FALSE; });
    HWND prompt = FindWindowW(L"TLoginForm", nullptr);
    SetDlgItemTextW(prompt, kLoginPinEdit, L"24681357");
    PostMessageW(prompt, WM_COMMAND, MAKEWPARAM(kLoginButton, BN_CLICKED), 0);
  });
  Bytes signature(256);
  DWORD length = static_cast<DWORD>(signature.size());
  const BOOL signedIt =
      signHash(context, hash, AT_KEYEXCHANGE, nullptr, 0, signature.data(), &length);
  poster.join();
  ThreadWindow::onApp = nullptr;
  EXPECT_EQ(reentered, static_cast<DWORD>(ERROR_BUSY));
  EXPECT_TRUE(released);
  ASSERT_TRUE(signedIt) << std::hex << GetLastError();
  signature.resize(length);
  EXPECT_TRUE(Verifies(cert, data, signature));
  // Released for good now; the module is still there for the next context.
  char name[100];
  DWORD nameLength = sizeof name;
  EXPECT_FALSE(getParam(context, PP_NAME, reinterpret_cast<BYTE*>(name), &nameLength, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID));
  HCRYPTPROV again = 0;
  EXPECT_TRUE(acquire(&again, "Bob", CRYPT_SILENT, nullptr));
  release(again, 0);
  CertFreeCertificateContext(cert);
  End();
}

}  // namespace
