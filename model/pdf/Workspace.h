#pragma once

// The buffers of one count, kept per thread from file to file so that a count allocates
// little; every piece replaces the contents of the buffers it is given.

#include "model/pdf/CrossReference.h"
#include "model/pdf/FileBytes.h"
#include "model/pdf/Objects.h"
#include "model/pdf/Syntax.h"

#include <QtGlobal>

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
    std::vector<Node> nodes;
    CrossReferenceBuffers crossReference;
    std::vector<std::vector<char>> decoded;
    std::vector<ObjectStream> objectStreams;
    std::vector<Pending> pending;
    std::vector<quint64> visited;

    // Gives back memory that one unusual file made large.
    void trim()
    {
        constexpr size_t kKeep = 4 * 1024 * 1024;
        if (whole.capacity() > kKeep)
            std::vector<char>().swap(whole);
        for (auto& d : decoded)
            if (d.capacity() > kKeep)
                std::vector<char>().swap(d);
        for (auto& o : objectStreams)
            if (o.data.capacity() > kKeep)
                std::vector<char>().swap(o.data);
        if (nodes.capacity() > 1024 * 1024)
            std::vector<Node>().swap(nodes);
    }
};

} // namespace pdftree
