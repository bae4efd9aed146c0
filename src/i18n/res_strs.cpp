#include "i18n/res_strs.h"

TResStrs ResStrs;
