#include "pkcs11_module.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <vector>

#include "call_trace.h"

namespace tokenlib {

namespace {

// The mutexes a module without its own locking takes from its caller.
CK_RV NewMutex(void** mutex) {
  if (!mutex)
    return CKR_ARGUMENTS_BAD;
  *mutex = new (std::nothrow) std::mutex;
  return *mutex ? CKR_OK : CKR_HOST_MEMORY;
}
CK_RV DeleteMutex(void* mutex) {
  if (!mutex)
    return CKR_MUTEX_BAD;
  delete static_cast<std::mutex*>(mutex);
  return CKR_OK;
}
CK_RV Lock(void* mutex) {
  if (!mutex)
    return CKR_MUTEX_BAD;
  static_cast<std::mutex*>(mutex)->lock();
  return CKR_OK;
}
CK_RV Unlock(void* mutex) {
  if (!mutex)
    return CKR_MUTEX_BAD;
  static_cast<std::mutex*>(mutex)->unlock();
  return CKR_OK;
}

}  // namespace

std::int32_t Pkcs11Module::Open(const std::string& nameOrPath, const std::string& reserved) {
  Close();
  if (nameOrPath.empty() || !library_.Open(nameOrPath))
    return kErrModuleNotLoaded;
  auto getList = reinterpret_cast<CK_C_GetFunctionList>(library_.Symbol("C_GetFunctionList"));
  CK_FUNCTION_LIST* list = nullptr;
  if (!getList || getList(&list) != CKR_OK || !list) {
    library_.Close();
    return kErrNoFunctionList;
  }
  if (const std::string trace = TraceFileFromEnvironment(); !trace.empty())
    list = TracedFunctions(list, trace);
  CK_C_INITIALIZE_ARGS args{};
  args.flags = CKF_OS_LOCKING_OK;
  std::vector<char> parameters(reserved.begin(), reserved.end());
  parameters.push_back('\0');
  if (!reserved.empty())
    args.pReserved = parameters.data();
  CK_RV rv = list->C_Initialize(&args);
  if (rv == CKR_CANT_LOCK) {
    args.flags = 0;
    args.CreateMutex = &NewMutex;
    args.DestroyMutex = &DeleteMutex;
    args.LockMutex = &Lock;
    args.UnlockMutex = &Unlock;
    rv = list->C_Initialize(&args);
  }
  if (rv == CKR_CANT_LOCK)  // neither: it is called as it is
    rv = list->C_Initialize(nullptr);
  if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
    library_.Close();
    return static_cast<std::int32_t>(rv);
  }
  ownsInitialisation_ = rv == CKR_OK;
  functions_ = list;
  return 0;
}

std::int32_t Pkcs11Module::Close() {
  const CK_RV rv = functions_ && ownsInitialisation_ ? functions_->C_Finalize(nullptr) : CKR_OK;
  functions_ = nullptr;
  ownsInitialisation_ = false;
  library_.Close();
  return static_cast<std::int32_t>(rv);
}

CK_RV SlotsWithToken(CK_FUNCTION_LIST* functions, std::vector<CK_SLOT_ID>* slots) {
  CK_RV rv = CKR_BUFFER_TOO_SMALL;
  for (int attempt = 0; attempt < 4 && rv == CKR_BUFFER_TOO_SMALL; ++attempt) {
    CK_ULONG n = 0;
    rv = functions->C_GetSlotList(CK_TRUE, nullptr, &n);
    slots->assign(n, 0);
    if (rv == CKR_OK && n > 0)
      rv = functions->C_GetSlotList(CK_TRUE, slots->data(), &n);
    if (rv == CKR_OK)
      slots->resize(std::min<CK_ULONG>(n, slots->size()));
  }
  return rv;
}

void Pkcs11Module::KeepStarted() {
  functions_ = nullptr;
  ownsInitialisation_ = false;
  library_.Forget();
}

}  // namespace tokenlib
