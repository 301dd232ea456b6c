#include "support/PdfShapes.h"

#include "support/Fixtures.h"

#include <QByteArray>

#include <algorithm>
#include <map>
#include <vector>

namespace fixtures {

namespace {

constexpr int kCatalog = 1;
constexpr int kRoot = 2;

struct Node {
    int number = 0;
    int parent = 0; // object number
    bool isPage = false;
    std::vector<int> kids; // node indices, in listing order
};

class ShapeWriter {
public:
    explicit ShapeWriter(const PdfShapeOptions& options) : m_options(options)
    {
        m_nodes.push_back({kRoot, 0, false, {}});
        m_out = "%PDF-1.7\n%\xE2\xE3\xCF\xD3\n";
    }

    // Leaves below node `index`, each listing counted.
    qint64 leaves(size_t index) const
    {
        const Node& node = m_nodes[index];
        if (node.isPage)
            return 1;
        qint64 total = 0;
        for (int kid : node.kids)
            total += leaves(size_t(kid));
        return total;
    }

    // Adds `pages` new pages under the root: straight under it while they fit, else grouped
    // into inner nodes of at most `fanout` kids. `wrap` puts them below at least one inner node.
    void addPages(int pages, bool wrap)
    {
        std::vector<int> level;
        for (int i = 0; i < pages; ++i) {
            level.push_back(int(m_nodes.size()));
            m_nodes.push_back({m_nextNumber, kRoot, true, {}});
            m_nextNumber += 2; // the page, then its content stream
        }
        const size_t fanout = size_t(m_options.fanout);
        bool grouped = false;
        while (level.size() > 1 && (level.size() + m_nodes[0].kids.size() > fanout || (wrap && !grouped))) {
            std::vector<int> upper;
            for (size_t start = 0; start < level.size(); start += fanout) {
                const int inner = int(m_nodes.size());
                m_nodes.push_back({m_nextNumber++, kRoot, false, {}});
                for (size_t k = start; k < std::min(level.size(), start + fanout); ++k) {
                    m_nodes[size_t(inner)].kids.push_back(level[k]);
                    m_nodes[size_t(level[k])].parent = m_nodes[size_t(inner)].number;
                }
                upper.push_back(inner);
            }
            level = std::move(upper);
            grouped = true;
        }
        if (wrap && !grouped && !level.empty()) {
            const int inner = int(m_nodes.size());
            m_nodes.push_back({m_nextNumber++, kRoot, false, level});
            for (int kid : level)
                m_nodes[size_t(kid)].parent = m_nodes[size_t(inner)].number;
            level = {inner};
        }
        for (int kid : level)
            m_nodes[0].kids.push_back(kid);
    }

    // Lists the first page a second time, beside itself in its parent's kids.
    void listFirstPageTwice()
    {
        for (Node& node : m_nodes) {
            const auto page =
                std::find_if(node.kids.begin(), node.kids.end(), [&](int kid) { return m_nodes[size_t(kid)].isPage; });
            if (page != node.kids.end()) {
                node.kids.insert(page + 1, *page);
                return;
            }
        }
    }

    // Writes every node numbered from `firstNumber` on, the catalog when `withCatalog`, and the
    // root; then a cross-reference section for them and the trailer.
    void writeRevision(int firstNumber, bool withCatalog)
    {
        std::map<int, qint64> offsets;
        if (withCatalog)
            writeObject(offsets, kCatalog, "<< /Type /Catalog /Pages 2 0 R >>");
        for (size_t i = 0; i < m_nodes.size(); ++i) {
            const Node& node = m_nodes[i];
            if (i != 0 && node.number < firstNumber)
                continue;
            if (node.isPage) {
                const QByteArray content =
                    "BT /F1 12 Tf 72 720 Td (Page " + QByteArray::number(node.number) + ") Tj ET";
                writeObject(offsets, node.number,
                            "<< /Type /Page /Parent " + QByteArray::number(node.parent) +
                                " 0 R /MediaBox [0 0 612 792] /Resources << >> /Contents " +
                                QByteArray::number(node.number + 1) + " 0 R >>");
                writeObject(offsets, node.number + 1,
                            "<< /Length " + QByteArray::number(content.size()) + " >>\nstream\n" + content +
                                "\nendstream");
            } else {
                writeObject(offsets, node.number, treeNode(i));
            }
        }
        const qint64 xrefOffset = m_out.size();
        m_out += "xref\n";
        if (m_previousXref < 0)
            offsets[0] = -1;
        for (auto it = offsets.begin(); it != offsets.end();) {
            auto end = it;
            int next = it->first;
            while (end != offsets.end() && end->first == next) {
                ++end;
                ++next;
            }
            m_out += QByteArray::number(it->first) + ' ' + QByteArray::number(next - it->first) + '\n';
            for (; it != end; ++it) {
                if (it->second < 0) {
                    m_out += "0000000000 65535 f\r\n";
                } else {
                    const qint64 offset = it->second + (m_options.xref == PdfXrefDefect::ShiftedOffsets ? 3 : 0);
                    m_out += QByteArray::number(offset).rightJustified(10, '0') + " 00000 n\r\n";
                }
            }
        }
        m_out += "trailer\n<< /Size " + QByteArray::number(m_nextNumber) + " /Root 1 0 R";
        if (m_previousXref >= 0)
            m_out += " /Prev " + QByteArray::number(m_previousXref);
        m_out += " >>\nstartxref\n";
        const qint64 startxref = xrefOffset + (m_options.xref == PdfXrefDefect::WrongStartxref ? 1000000 : 0);
        m_out += QByteArray::number(startxref) + "\n%%EOF\n";
        m_previousXref = xrefOffset;
    }

    int nextNumber() const { return m_nextNumber; }
    const QByteArray& bytes() const { return m_out; }

private:
    QByteArray treeNode(size_t index) const
    {
        const Node& node = m_nodes[index];
        const bool isRoot = index == 0;
        QByteArray body = "<< /Type /Pages";
        if (!isRoot)
            body += " /Parent " + QByteArray::number(node.parent) + " 0 R";
        body += " /Kids [";
        for (int kid : node.kids)
            body += QByteArray::number(m_nodes[size_t(kid)].number) + " 0 R ";
        body += "]";
        qint64 count = leaves(index);
        bool omitted = false;
        const bool firstInner = !isRoot && index == firstInnerNode();
        switch (m_options.count) {
        case PdfCountDefect::None:
            break;
        case PdfCountDefect::WrongAtRoot:
            count += isRoot ? m_options.countError : 0;
            break;
        case PdfCountDefect::WrongInInnerNode:
            count += firstInner ? m_options.countError : 0;
            break;
        case PdfCountDefect::MissingAtRoot:
            omitted = isRoot;
            break;
        case PdfCountDefect::MissingInInnerNodes:
            omitted = !isRoot;
            break;
        }
        // Every node holds a page, so a count made wrong below 1 stays wrong at 0.
        if (!omitted)
            body += " /Count " + QByteArray::number(std::max<qint64>(count, 0));
        return body + " >>";
    }

    size_t firstInnerNode() const
    {
        for (size_t i = 1; i < m_nodes.size(); ++i) {
            if (!m_nodes[i].isPage)
                return i;
        }
        return 0;
    }

    void writeObject(std::map<int, qint64>& offsets, int number, const QByteArray& body)
    {
        offsets[number] = m_out.size();
        m_out += QByteArray::number(number) + " 0 obj\n" + body + "\nendobj\n";
    }

    const PdfShapeOptions& m_options;
    std::vector<Node> m_nodes; // the root first
    int m_nextNumber = 3;
    qint64 m_previousXref = -1;
    QByteArray m_out;
};

} // namespace

int writeShapedPdf(const QString& path, const PdfShapeOptions& options)
{
    const bool wrongCount =
        options.count == PdfCountDefect::WrongAtRoot || options.count == PdfCountDefect::WrongInInnerNode;
    if (options.pages < 1 || options.fanout < 2 || options.updates < 0 || (wrongCount && options.countError == 0))
        return -1;
    // The first revision gets the larger share; with fewer pages than revisions, an update may
    // only rewrite the root.
    const int perUpdate = options.pages / (options.updates + 1);
    const int first = options.pages - perUpdate * options.updates;
    const bool wrapInInner =
        options.count == PdfCountDefect::WrongInInnerNode || options.count == PdfCountDefect::MissingInInnerNodes;
    ShapeWriter writer(options);
    writer.addPages(first, wrapInInner);
    if (options.kidListedTwice)
        writer.listFirstPageTwice();
    writer.writeRevision(0, true);
    for (int u = 0; u < options.updates; ++u) {
        const int firstNew = writer.nextNumber();
        writer.addPages(perUpdate, true);
        writer.writeRevision(firstNew, false);
    }
    return writeBytes(path, writer.bytes()) ? int(writer.leaves(0)) : -1;
}

} // namespace fixtures
