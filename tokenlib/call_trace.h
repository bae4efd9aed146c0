#pragma once
// A trace of every PKCS#11 call the library makes, for support to read why a
// token did not register: each call with its slot, session and object
// handles, the attribute types asked for and the lengths answered, the return
// code by name and the time it took. Never an attribute's value, never a PIN.
//
// Off unless the environment variable CORVANEXMGR_TRACE is set when the module
// is loaded: "1" writes CorvanexMgr_trace.txt into the diagnostic-log folder
// (only while that folder exists, like the diagnostic log), any other value
// is the file to write. The file is kept under kTraceFileCap: a full file is
// moved aside to a name ending in ".old" and a new one begun.
#include <cstdint>
#include <string>

#include "base/pkcs11_api.h"

namespace tokenlib {

inline constexpr std::uintmax_t kTraceFileCap = 4u << 20;

// The file the environment asks for, or empty when tracing is off.
std::string TraceFileFromEnvironment();

// The module's function list with every function the library calls traced
// into path; the other entries are the module's own. One module is traced at
// a time: a later call traces the new list instead.
CK_FUNCTION_LIST* TracedFunctions(CK_FUNCTION_LIST* module, const std::string& path);

// Names for the trace: "CKR_PIN_INCORRECT", "CKA_LABEL", or hex when unknown.
std::string ReturnCodeName(CK_RV rv);
std::string AttributeTypeName(CK_ATTRIBUTE_TYPE type);

}  // namespace tokenlib
