// The documents library, loaded the first time a document is read or
// written. It brings libtiff and the libraries libtiff needs (a dozen, one
// of them C++); loading them at start cost every command, --version and
// page conversions included, more than its own work. The four calls keep
// their names and signatures, so the commands call them as declared.
#include <dlfcn.h>
#include <string>

#include "cli/common.h"
#include "tollan_documents.h"

namespace {

// The soname: found through the command's run path, as a linked library was.
constexpr const char *kDocumentsLibrary = "libtollan-documents.so.1";

struct DocumentCalls {
    decltype(&ConvertDocumentToPages) convert_document;
    decltype(&GetDocumentResolution) document_resolution;
    decltype(&WritePagesAsTiff) write_tiff;
    decltype(&WritePagesAsPdf) write_pdf;
};

void *DocumentCall(void *library, const char *name) {
    void *call = dlsym(library, name);
    if (!call) FailWith(std::string("the documents library has no ") + name + ": " + dlerror());
    return call;
}

DocumentCalls LoadDocumentCalls() {
    void *library = dlopen(kDocumentsLibrary, RTLD_NOW | RTLD_LOCAL);
    if (!library) FailWith(std::string("cannot load the documents library: ") + dlerror());
    // Kept loaded for the life of the command.
    DocumentCalls calls;
    calls.convert_document = reinterpret_cast<decltype(calls.convert_document)>(DocumentCall(library, "ConvertDocumentToPages"));
    calls.document_resolution = reinterpret_cast<decltype(calls.document_resolution)>(DocumentCall(library, "GetDocumentResolution"));
    calls.write_tiff = reinterpret_cast<decltype(calls.write_tiff)>(DocumentCall(library, "WritePagesAsTiff"));
    calls.write_pdf = reinterpret_cast<decltype(calls.write_pdf)>(DocumentCall(library, "WritePagesAsPdf"));
    return calls;
}

const DocumentCalls &Documents() {
    static const DocumentCalls calls = LoadDocumentCalls();
    return calls;
}

}  // namespace

extern "C" {

uint16_t ConvertDocumentToPages(const char *document, const char *base_name, int32_t resolution, int16_t first_page,
                                int16_t *pages) {
    return Documents().convert_document(document, base_name, resolution, first_page, pages);
}

uint16_t GetDocumentResolution(const char *document, int32_t *resolution) {
    return Documents().document_resolution(document, resolution);
}

uint16_t WritePagesAsTiff(const char *base_name, const char *tiff_path, int32_t coding, int32_t resolution) {
    return Documents().write_tiff(base_name, tiff_path, coding, resolution);
}

uint16_t WritePagesAsPdf(const char *base_name, const char *pdf_path, int32_t resolution) {
    return Documents().write_pdf(base_name, pdf_path, resolution);
}

}  // extern "C"
