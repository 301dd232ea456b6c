#include "support/MuPdfCount.h"

#ifdef FOLIMETER_HAVE_MUPDF
#include <mupdf/fitz.h>
#endif
#ifdef FOLIMETER_HAVE_POPPLER
#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-version.h>
#endif

#include <memory>
#include <string>

namespace fixtures {

#ifdef FOLIMETER_HAVE_MUPDF
namespace {

// A silent MuPDF context with every document handler, or null.
fz_context* newContext()
{
    fz_context* ctx = fz_new_context(nullptr, nullptr, FZ_STORE_DEFAULT);
    if (!ctx)
        return nullptr;
    fz_set_error_callback(
        ctx, [](void*, const char*) {}, nullptr);
    fz_set_warning_callback(
        ctx, [](void*, const char*) {}, nullptr);
    fz_try(ctx)
    {
        fz_register_document_handlers(ctx);
    }
    fz_catch(ctx)
    {
        fz_drop_context(ctx);
        return nullptr;
    }
    return ctx;
}

} // namespace

int mupdfCount(const QByteArray& nativePath)
{
    thread_local const std::unique_ptr<fz_context, void (*)(fz_context*)> context(newContext(), fz_drop_context);
    fz_context* ctx = context.get();
    if (!ctx)
        return -1;
    fz_document* doc = nullptr;
    int count = -1;
    fz_var(doc);
    fz_var(count);
    fz_try(ctx)
    {
        doc = fz_open_document(ctx, nativePath.constData());
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
    return count;
}
#else
int mupdfCount(const QByteArray&)
{
    return -2;
}
#endif

#ifdef FOLIMETER_HAVE_POPPLER
int popplerCount(const QByteArray& nativePath)
{
    static const bool silenced = [] {
        poppler::set_debug_error_function([](const std::string&, void*) {}, nullptr);
        return true;
    }();
    static_cast<void>(silenced);
    // poppler-cpp 22.12's pages() crashes on a locked document.
    const std::unique_ptr<poppler::document> document(
        poppler::document::load_from_file(nativePath.toStdString(), "", ""));
    return document && !document->is_locked() ? document->pages() : -1;
}
#else
int popplerCount(const QByteArray&)
{
    return -2;
}
#endif

bool mupdfBuiltIn()
{
    return mupdfCount(QByteArray()) != -2;
}

bool popplerBuiltIn()
{
    return popplerCount(QByteArray()) != -2;
}

QByteArray referenceReaders()
{
    QByteArray readers;
#ifdef FOLIMETER_HAVE_MUPDF
    readers += QByteArray("MuPDF ") + FZ_VERSION;
#else
    readers += "no MuPDF";
#endif
#ifdef FOLIMETER_HAVE_POPPLER
    return readers + ", poppler " + poppler::version_string().c_str();
#else
    return readers + ", no poppler";
#endif
}

} // namespace fixtures
