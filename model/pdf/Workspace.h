#pragma once

// The buffers of one count, kept per thread from file to file so that a count allocates
// little. Every piece replaces the contents of the buffers it is given, and charges what it
// asks of them to the count's meter; after each count, however it ends, trim() gives back all
// but kWorkspaceKeptBytes.

#include "model/pdf/CrossReference.h"
#include "model/pdf/FileBytes.h"
#include "model/pdf/Meter.h"
#include "model/pdf/Objects.h"
#include "model/pdf/Repair.h"
#include "model/pdf/Syntax.h"

#include <QtGlobal>

#include <cstddef>
#include <vector>

namespace pdftree {

// A kid of the page tree waiting to be visited.
struct Pending {
    quint32 number;
    quint32 generation;
    quint32 depth;
};

struct Workspace {
    std::vector<char> whole;
    std::vector<char> window[kWindowCount];
    Nodes nodes;
    CrossReferenceBuffers crossReference;
    RepairBuffers repair;
    std::vector<std::vector<char>> decoded;
    ObjectStreams objectStreams;
    Charged<Pending> pending;
    std::vector<quint64> visited; // inner nodes walked
    std::vector<quint64> seen;    // kids resolved once
    Charged<quint64> repeated;    // kids resolved twice and found to be pages, as a hash set

    // The capacity held, in bytes.
    size_t bytes() const;
    // Gives back all but what the next count of an ordinary file reuses; never throws.
    void trim() noexcept;
};

} // namespace pdftree
