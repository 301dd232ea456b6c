#include "fuzz/FuzzMain.h"

FOLIMETER_FUZZ_TARGET(pdfTree)
