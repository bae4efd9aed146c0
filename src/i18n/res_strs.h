#pragma once
#include <array>
#include <string>

// The program's table of named strings. Every text a user reads, and the
// names of the PKCS#11 module, the provider and the manager executable, are
// entries here; a language file replaces them all.
struct TResStrs {
#define RES_TEXT(key, builtin) std::wstring key = builtin;
#define RES_INT(key, readDefault) int key = 0;
#include "i18n/res_strs.def"
#undef RES_TEXT
#undef RES_INT
};

struct ResTextEntry {
  const wchar_t* key;
  std::wstring TResStrs::*member;
};
struct ResIntEntry {
  const wchar_t* key;
  int TResStrs::*member;
  int readDefault;  // taken when a language file lacks the key or it is no number
};

inline constexpr ResTextEntry kResTextEntries[] = {
#define RES_TEXT(key, builtin) {L## #key, &TResStrs::key},
#define RES_INT(key, readDefault)
#include "i18n/res_strs.def"
#undef RES_TEXT
#undef RES_INT
};

inline constexpr ResIntEntry kResIntEntries[] = {
#define RES_TEXT(key, builtin)
#define RES_INT(key, readDefault) {L## #key, &TResStrs::key, readDefault},
#include "i18n/res_strs.def"
#undef RES_TEXT
#undef RES_INT
};
