#pragma once
// The PKCS#11 types and constants (p11-kit's header; it packs structures to
// one byte on Windows, as modules there expect).
#include <p11-kit/pkcs11.h>
