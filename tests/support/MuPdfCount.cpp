#include "support/MuPdfCount.h"

#include <QFile>

#include <poppler-document.h>

#include <memory>

#ifdef FOLIMETER_HAVE_MUPDF
#include <mupdf/fitz.h>
#endif

namespace fixtures {

#ifdef FOLIMETER_HAVE_MUPDF
int mupdfCount(const QString& path)
{
    fz_context* ctx = fz_new_context(nullptr, nullptr, FZ_STORE_DEFAULT);
    if (!ctx)
        return -1;
    const auto silent = [](void*, const char*) {};
    fz_set_error_callback(ctx, silent, nullptr);
    fz_set_warning_callback(ctx, silent, nullptr);
    const QByteArray native = QFile::encodeName(path);
    fz_document* doc = nullptr;
    int count = -1;
    fz_var(doc);
    fz_try(ctx)
    {
        fz_register_document_handlers(ctx);
        doc = fz_open_document(ctx, native.constData());
        if (fz_needs_password(ctx, doc))
            fz_authenticate_password(ctx, doc, "");
        count = fz_count_pages(ctx, doc);
    }
    fz_always(ctx)
    {
        fz_drop_document(ctx, doc);
    }
    fz_catch(ctx)
    {
        count = -1;
    }
    fz_drop_context(ctx);
    return count;
}
#else
int mupdfCount(const QString&)
{
    return -2;
}
#endif

int popplerCount(const QString& path)
{
    const std::unique_ptr<poppler::document> document(
        poppler::document::load_from_file(QFile::encodeName(path).toStdString()));
    return document && !document->is_locked() ? document->pages() : -1;
}

} // namespace fixtures
