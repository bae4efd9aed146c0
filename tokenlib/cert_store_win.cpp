#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <iterator>
#include <mutex>
#include <utility>
#include <vector>

#include "cert_store.h"
#include "base/crypt32_win.h"
#include "base/text_win.h"
#include "base/unique_handle_win.h"

namespace tokenlib {

namespace {

// Microsoft's provider type for smart-card providers (RSA full).
constexpr DWORD kProviderType = PROV_RSA_FULL;

// Our mark on every certificate we add, stored with the certificate so a
// later run (even after a crash) tells ours from the user's and from other
// cards' that share a provider name. It is the certificate's description, a
// property both Windows and Wine keep (Wine refuses properties of our own
// numbering); users see it in the certificate's properties.
//
// The mark is short on purpose: Wine's crypt32 writes a property that follows
// the key link into a buffer sized for the link's compact stored form, so a
// mark longer than that form (at least 36 bytes) overran the heap and lost the
// certificate whenever container and provider names were short.
constexpr DWORD kOurMarkProperty = CERT_DESCRIPTION_PROP_ID;
constexpr wchar_t kOurMarkValue[] = L"CorvanexE token";
static_assert(sizeof kOurMarkValue <= 36);
// The mark of earlier versions, still ours when a run of one left it behind.
constexpr wchar_t kEarlierMarkValue[] = L"Registered from a USB token by CorvanexE";

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// The current user's system stores, each opened on first use and kept open
// across the calls of a registration pass: under Wine an open reads every
// certificate of the store and a close writes them all back.
//
// What is added is written out (committed) once the adds pause for a moment,
// not after each one: under Wine each commit flushes the user's registry,
// and a pass of 195 certificates spent nine tenths of its time there. Other
// programs see the certificates within kCommitDelay of the last add.
class UserStores {
 public:
  static UserStores& Instance() {
    static UserStores* stores = new UserStores;  // never destroyed: no work at unload
    return *stores;
  }
  std::mutex& lock() { return lock_; }

  // Called with lock() held, after an add to store.
  void CommitSoon(HCERTSTORE store) {
    if (std::find(pending_.begin(), pending_.end(), store) == pending_.end())
      pending_.push_back(store);
    lastAdd_ = std::chrono::steady_clock::now();
    if (!committer_)
      StartCommitter();
    wake_.notify_one();
  }
  // Called with lock() held: writes out what is pending and ends the
  // committer, so nothing is left to a thread at unload.
  void CommitNowAndStop(std::unique_lock<std::mutex>& held) {
    CommitPending();
    stop_ = true;
    wake_.notify_one();
    if (committer_) {
      held.unlock();
      WaitForSingleObject(committer_.get(), INFINITE);
      held.lock();
      committer_.reset();
    }
    stop_ = false;
  }

  // Opens the user's root store on a thread of its own and keeps it open
  // until CloseAll's caller ends the library. Under Wine the first open of
  // "ROOT" in a process gathers the system's trusted roots (70-200 ms), which
  // fell on the first insertion's pass; afterwards an open is quick.
  void PrepareRoot() {
    std::lock_guard held(lock_);
    if (keepRoot_)
      return;
    keepRoot_ = true;
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&UserStores::Instance), &self))
      return;
    rootOpener_.reset(CreateThread(nullptr, 0, &RootOpenerThread, self, 0, nullptr));
    if (!rootOpener_)
      FreeLibrary(self);
  }
  // Called without lock() held: lets go of the root store kept open.
  void ReleaseRoot() {
    UniqueKernelHandle opener;
    {
      std::lock_guard held(lock_);
      keepRoot_ = false;
      opener = std::move(rootOpener_);
    }
    if (opener)
      WaitForSingleObject(opener.get(), INFINITE);
    std::lock_guard held(lock_);
    rootKept_.reset();
  }

  // The logical store, as every program sees it.
  HCERTSTORE Logical(const std::wstring& name) {
    return Open(logical_, name, CERT_STORE_PROV_SYSTEM_W);
  }
  // The user's registry part of the store, for deletions the logical view
  // reports without carrying out (Wine's collection of "MY").
  HCERTSTORE Registry(const std::wstring& name) {
    return Open(registry_, name, CERT_STORE_PROV_SYSTEM_REGISTRY_W);
  }
  bool IsRoot(HCERTSTORE store) const {
    return std::any_of(logical_.begin(), logical_.end(), [&](const auto& open) {
      return open.second.get() == store && open.first == L"ROOT";
    });
  }
  bool IsOpen(HCERTSTORE store) const {
    return std::any_of(logical_.begin(), logical_.end(),
                       [&](const auto& open) { return open.second.get() == store; });
  }
  void CloseAll() {
    CommitPending();
    logical_.clear();
    registry_.clear();
  }

 private:
  using Stores = std::vector<std::pair<std::wstring, UniqueCertStore>>;
  static HCERTSTORE Open(Stores& stores, const std::wstring& name, LPCSTR provider) {
    for (auto& [open, store] : stores)
      if (open == name)
        return store.get();
    UniqueCertStore store(
        Crypt32().CertOpenStore(provider, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, name.c_str()));
    if (!store)
      return nullptr;
    stores.emplace_back(name, std::move(store));
    return stores.back().second.get();
  }

  void CommitPending() {
    for (HCERTSTORE store : pending_)
      Crypt32().CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
    pending_.clear();
  }
  // The committer holds a reference to this library, so a caller that
  // unloads it without uninit_pkcs11 leaves it loaded rather than pulling
  // the code from under the thread.
  void StartCommitter() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&UserStores::Instance), &self))
      return;  // then each add waits for the next commit: CloseAll or the next pass
    committer_.reset(CreateThread(nullptr, 0, &CommitterThread, self, 0, nullptr));
    if (!committer_)
      FreeLibrary(self);
  }
  static DWORD WINAPI CommitterThread(void* module) {
    Instance().CommitWhenQuiet();
    FreeLibraryAndExitThread(static_cast<HMODULE>(module), 0);
  }
  void CommitWhenQuiet() {
    std::unique_lock held(lock_);
    while (!stop_) {
      wake_.wait(held, [&] { return stop_ || !pending_.empty(); });
      while (!stop_ && !pending_.empty() &&
             wake_.wait_until(held, lastAdd_ + kCommitDelay) != std::cv_status::timeout) {
      }
      if (pending_.empty() || std::chrono::steady_clock::now() < lastAdd_ + kCommitDelay)
        continue;
      // "ROOT" is written out without the lock, through a reference of its
      // own: Windows holds that store's lock across an add and its prompt, so
      // its commit may wait for the user, and a removal meanwhile (a logoff
      // during a second root's prompt) must not wait behind it. Every other
      // store is written out under the lock: a commit writes back what it
      // holds, and a removal running beside it saw its deleted certificates
      // written back into the user's registry.
      std::vector<UniqueCertStore> roots;
      for (HCERTSTORE store : std::exchange(pending_, {}))
        if (IsRoot(store))
          roots.emplace_back(Crypt32().CertDuplicateStore(store));
        else
          Crypt32().CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
      if (roots.empty())
        continue;
      held.unlock();
      for (const UniqueCertStore& store : roots)
        Crypt32().CertControlStore(store.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr);
      roots.clear();
      held.lock();
    }
  }

  static DWORD WINAPI RootOpenerThread(void* module) {
    UniqueCertStore root(Crypt32().CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                                 CERT_SYSTEM_STORE_CURRENT_USER, L"ROOT"));
    {
      UserStores& stores = Instance();
      std::lock_guard held(stores.lock_);
      if (stores.keepRoot_)
        stores.rootKept_ = std::move(root);
    }
    root.reset();
    FreeLibraryAndExitThread(static_cast<HMODULE>(module), 0);
  }

  static constexpr auto kCommitDelay = std::chrono::milliseconds(30);
  std::mutex lock_;
  Stores logical_;
  Stores registry_;
  std::vector<HCERTSTORE> pending_;
  std::chrono::steady_clock::time_point lastAdd_;
  std::condition_variable wake_;
  UniqueKernelHandle committer_;
  bool stop_ = false;
  UniqueKernelHandle rootOpener_;
  UniqueCertStore rootKept_;
  bool keepRoot_ = false;
};

// Deletes cert from its store and lets go of the reference. Windows lets go
// inside the delete, whatever its outcome; Wine 8 keeps it, and each context
// kept that way held its whole store in memory (the collection of "MY" with
// every certificate in it, at each registration pass). Which of the two this
// system does is learnt once, on a private memory store: a store whose copy
// is still referenced after the delete does not close cleanly.
bool DeleteFromStore(const CERT_CONTEXT* cert) {
  static const bool deleteLetsGo = [cert] {
    UniqueCertStore probe(
        Crypt32().CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr));
    const CERT_CONTEXT* copy = nullptr;
    if (!probe || !Crypt32().CertAddCertificateContextToStore(probe.get(), cert,
                                                              CERT_STORE_ADD_ALWAYS, &copy))
      return true;  // unknown: as documented
    Crypt32().CertDeleteCertificateFromStore(copy);
    if (Crypt32().CertCloseStore(probe.release(), CERT_CLOSE_STORE_CHECK_FLAG))
      return true;
    Crypt32().CertFreeCertificateContext(copy);  // still ours: the delete kept it
    return false;
  }();
  const bool deleted = Crypt32().CertDeleteCertificateFromStore(cert) != FALSE;
  if (!deleteLetsGo)
    Crypt32().CertFreeCertificateContext(cert);
  return deleted;
}

// Writes a removal at once: a certificate must not outlive its token.
void Commit(HCERTSTORE store) {
  Crypt32().CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
}

UniqueCertContext Decode(const unsigned char* data, std::int32_t length) {
  if (!data || length <= 0)
    return {};
  return UniqueCertContext(
      Crypt32().CertCreateCertificateContext(kEncoding, data, static_cast<DWORD>(length)));
}

void CopyName(CERT_NAME_BLOB blob, const CERT_CONTEXT* cert, DWORD flags, char16_t* out) {
  wchar_t buffer[cmgr::kNameUnits] = {};
  // The simple display name (CN or the first usable part) reads best; fall
  // back to the full distinguished name.
  DWORD n = Crypt32().CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags, nullptr,
                                         buffer, cmgr::kNameUnits);
  if (n <= 1)
    n = Crypt32().CertNameToStrW(X509_ASN_ENCODING, &blob,
                                 CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG, buffer,
                                 cmgr::kNameUnits);
  buffer[cmgr::kNameUnits - 1] = L'\0';
  for (int i = 0; i < cmgr::kNameUnits; ++i) {
    out[i] = static_cast<char16_t>(buffer[i]);
    if (!buffer[i])
      break;
  }
}

}  // namespace

void LocalDateBlock(const FILETIME& when, const TIME_ZONE_INFORMATION* zone, std::int32_t* out) {
  SYSTEMTIME utc{}, st{};
  FileTimeToSystemTime(&when, &utc);
  if (!SystemTimeToTzSpecificLocalTime(zone, &utc, &st))
    st = utc;
  std::fill(out, out + cmgr::kDateBlockSize, 0);
  out[0] = st.wYear;
  out[1] = st.wMonth;
  out[2] = st.wDay;
  out[3] = st.wHour;
  out[4] = st.wMinute;
  out[5] = st.wSecond;
}

namespace {

bool IsCa(const CERT_CONTEXT* cert) {
  const CERT_EXTENSION* ext = Crypt32().CertFindExtension(
      szOID_BASIC_CONSTRAINTS2, cert->pCertInfo->cExtension, cert->pCertInfo->rgExtension);
  if (!ext)
    return false;
  CERT_BASIC_CONSTRAINTS2_INFO info{};
  DWORD size = sizeof info;
  return Crypt32().CryptDecodeObject(X509_ASN_ENCODING, X509_BASIC_CONSTRAINTS2, ext->Value.pbData,
                                     ext->Value.cbData, 0, &info, &size) &&
         info.fCA;
}

std::string ProviderOf(const CERT_CONTEXT* cert) {
  DWORD size = 0;
  if (!Crypt32().CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr,
                                                   &size) ||
      size < sizeof(CRYPT_KEY_PROV_INFO))
    return {};
  std::vector<BYTE> buffer(size);
  if (!Crypt32().CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(),
                                                   &size))
    return {};
  const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
  return info->pwszProvName ? ToAnsi(info->pwszProvName) : std::string();
}

bool HasOurMark(const CERT_CONTEXT* cert) {
  wchar_t value[std::size(kEarlierMarkValue)] = {};
  DWORD size = sizeof value;
  if (!Crypt32().CertGetCertificateContextProperty(cert, kOurMarkProperty, value, &size))
    return false;
  return (size == sizeof kOurMarkValue && std::memcmp(value, kOurMarkValue, size) == 0) ||
         (size == sizeof kEarlierMarkValue && std::memcmp(value, kEarlierMarkValue, size) == 0);
}

bool IsBlank(const std::string& text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) <= ' '; });
}

}  // namespace

void PrepareUserStores() {
  if (Crypt32().loaded)
    UserStores::Instance().PrepareRoot();
}

void CloseUserStores() {
  UserStores& stores = UserStores::Instance();
  stores.ReleaseRoot();
  std::unique_lock held(stores.lock());
  stores.CommitNowAndStop(held);
  stores.CloseAll();
}

std::int32_t GetCertInfo(const unsigned char* data, std::int32_t length, cmgr::CertInfo* out) {
  if (!Crypt32().loaded)
    return kErrStore;
  UniqueCertContext cert = Decode(data, length);
  if (!cert)
    return kErrDecode;
  const CERT_INFO* info = cert->pCertInfo;
  CopyName(info->Subject, cert.get(), 0, out->subject);
  CopyName(info->Issuer, cert.get(), CERT_NAME_ISSUER_FLAG, out->issuer);
  out->version = static_cast<std::int32_t>(info->dwVersion) + 1;
  // Stored little-endian; shown most significant byte first.
  static const char digits[] = "0123456789ABCDEF";
  std::string hex;
  for (DWORD i = info->SerialNumber.cbData; i-- > 0;) {
    hex += digits[info->SerialNumber.pbData[i] >> 4];
    hex += digits[info->SerialNumber.pbData[i] & 15];
  }
  hex.resize(std::min<std::size_t>(hex.size(), cmgr::kSerialSize - 1));
  std::memcpy(out->serial, hex.c_str(), hex.size() + 1);
  LocalDateBlock(info->NotBefore, nullptr, out->notBefore);
  LocalDateBlock(info->NotAfter, nullptr, out->notAfter);
  CERT_NAME_BLOB subjectName = info->Subject, issuerName = info->Issuer;
  const bool selfSigned =
      Crypt32().CertCompareCertificateName(X509_ASN_ENCODING, &subjectName, &issuerName) != FALSE;
  out->kind = !IsCa(cert.get()) ? cmgr::kUserCertificate
              : selfSigned      ? cmgr::kRootCertificate
                                : cmgr::kIntermediateCertificate;
  return 0;
}

std::int32_t AddUserCertificate(const std::string& container,
                                const std::string& provider,
                                std::int32_t keySpec,
                                const unsigned char* data,
                                std::int32_t length) {
  if (!Crypt32().loaded)
    return kErrStore;
  UniqueCertContext cert = Decode(data, length);
  if (!cert)
    return kErrDecode;
  if (IsBlank(provider))
    return kErrBlankProvider;
  std::wstring containerW = FromAnsi(container), providerW = FromAnsi(provider);
  CRYPT_KEY_PROV_INFO info{};
  info.pwszContainerName = containerW.data();
  info.pwszProvName = providerW.data();
  info.dwProvType = kProviderType;
  info.dwKeySpec = static_cast<DWORD>(keySpec);
  CRYPT_DATA_BLOB mark{sizeof kOurMarkValue,
                       reinterpret_cast<BYTE*>(const_cast<wchar_t*>(kOurMarkValue))};
  // The link and the mark travel with the certificate into the store.
  if (!Crypt32().CertSetCertificateContextProperty(cert.get(), CERT_KEY_PROV_INFO_PROP_ID, 0,
                                                   &info) ||
      !Crypt32().CertSetCertificateContextProperty(cert.get(), kOurMarkProperty, 0, &mark))
    return kErrStore;

  UserStores& stores = UserStores::Instance();
  std::lock_guard guard(stores.lock());
  // The user's registry part of "MY", where the logical store adds too:
  // Wine's logical store would keep the old copy beside the new one.
  HCERTSTORE my = stores.Registry(L"MY");
  if (!my)
    return kErrStore;
  // A copy without our mark is the user's (imported from a PFX file, or
  // registered for another card), whatever provider it names: it stays as it
  // is, and ours is not put over it.
  const CERT_CONTEXT* existing = Crypt32().CertFindCertificateInStore(
      my, kEncoding, 0, CERT_FIND_EXISTING, cert.get(), nullptr);
  if (existing) {
    if (!HasOurMark(existing)) {
      Crypt32().CertFreeCertificateContext(existing);
      return 0;
    }
    // Ours, from this pass or an earlier run, goes first: Wine's replace
    // keeps the old copy beside the new one.
    if (!DeleteFromStore(existing))
      return kErrStore;
  }
  if (!Crypt32().CertAddCertificateContextToStore(my, cert.get(), CERT_STORE_ADD_REPLACE_EXISTING,
                                                  nullptr))
    return kErrStore;
  stores.CommitSoon(my);
  return 0;
}

std::int32_t AddCaCertificate(const std::u16string& storeName,
                              const unsigned char* data,
                              std::int32_t length) {
  if (!Crypt32().loaded)
    return kErrStore;
  UniqueCertContext cert = Decode(data, length);
  if (!cert)
    return kErrDecode;
  // Through the logical store: on Windows the only way into the user's root
  // store that trust honours. The system asks the user to confirm a new root
  // in a modal box whose message loop runs the caller's events, which may
  // call in here again: no lock is held across the add, and the add goes
  // through a reference of its own that a removal meanwhile cannot close.
  UniqueCertStore store;
  {
    UserStores& stores = UserStores::Instance();
    std::lock_guard guard(stores.lock());
    HCERTSTORE shared = stores.Logical(std::wstring(storeName.begin(), storeName.end()));
    if (!shared)
      return kErrStore;
    // Already there: nothing to add, and no prompt on Windows. Adding it all
    // the same kept the whole store alive under Wine, pass after pass.
    if (const CERT_CONTEXT* existing = Crypt32().CertFindCertificateInStore(
            shared, kEncoding, 0, CERT_FIND_EXISTING, cert.get(), nullptr)) {
      Crypt32().CertFreeCertificateContext(existing);
      return 0;
    }
    store.reset(Crypt32().CertDuplicateStore(shared));
  }
  if (!Crypt32().CertAddCertificateContextToStore(store.get(), cert.get(),
                                                  CERT_STORE_ADD_USE_EXISTING, nullptr))
    return GetLastError() == ERROR_CANCELLED ? cmgr::kRootDeclined : kErrStore;
  UserStores& stores = UserStores::Instance();
  std::lock_guard guard(stores.lock());
  if (stores.IsOpen(store.get()))
    stores.CommitSoon(store.get());
  else
    Commit(store.get());  // the stores were closed meanwhile: written out now
  return 0;
}

namespace {

// Deletes from "MY" every certificate of ours that chosen accepts, and
// writes the removal out at once.
template <class Chosen>
std::int32_t RemoveOurCertificates(Chosen chosen) {
  UserStores& stores = UserStores::Instance();
  std::lock_guard guard(stores.lock());
  stores.CloseAll();  // what this run added is read back from the store
  HCERTSTORE my = stores.Logical(L"MY");
  if (!my)
    return kErrStore;
  // Collect first: deleting while enumerating would end the walk early.
  std::vector<UniqueCertContext> ours;
  for (const CERT_CONTEXT* cert = nullptr;
       (cert = Crypt32().CertEnumCertificatesInStore(my, cert));)
    if (HasOurMark(cert) && chosen(cert))
      ours.emplace_back(Crypt32().CertDuplicateCertificateContext(cert));
  std::int32_t status = 0;
  HCERTSTORE registry = nullptr;
  for (UniqueCertContext& cert : ours) {
    DeleteFromStore(Crypt32().CertDuplicateCertificateContext(cert.get()));
    const CERT_CONTEXT* left = Crypt32().CertFindCertificateInStore(
        my, kEncoding, 0, CERT_FIND_EXISTING, cert.get(), nullptr);
    if (!left)
      continue;
    Crypt32().CertFreeCertificateContext(left);
    // Still there: delete it from the registry part itself.
    registry = stores.Registry(L"MY");
    const CERT_CONTEXT* stored =
        registry ? Crypt32().CertFindCertificateInStore(registry, kEncoding, 0, CERT_FIND_EXISTING,
                                                        cert.get(), nullptr)
                 : nullptr;
    if (!stored || !DeleteFromStore(stored))
      status = kErrStore;
  }
  if (registry)
    Commit(registry);
  Commit(my);
  ours.clear();
  stores.CloseAll();  // the next pass reads the store afresh
  return status;
}

}  // namespace

std::int32_t RemoveProviderCertificates(const std::string& provider) {
  if (!Crypt32().loaded)
    return kErrStore;
  // A blank name would match every certificate without a key link.
  if (IsBlank(provider))
    return kErrBlankProvider;
  return RemoveOurCertificates(
      [&](const CERT_CONTEXT* cert) { return ProviderOf(cert) == provider; });
}

std::int32_t RemoveMarkedCertificates() {
  if (!Crypt32().loaded)
    return kErrStore;
  return RemoveOurCertificates([](const CERT_CONTEXT*) { return true; });
}

}  // namespace tokenlib
