#pragma once

// The page-tree reader's entry, for callers that include it by its former path.
#include "model/pdf/PageTree.h"
