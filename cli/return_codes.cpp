#include "cli/return_codes.h"

#include <array>

#include "tollan.h"
#include "tollan_documents.h"

namespace {

struct CodeText {
    uint16_t code;
    const char *text;
};

// The documents library's codes; the core library has the words for its own.
constexpr std::array<CodeText, 5> kDocumentCodeTexts = {{
    {TOLLAN_E_DOC_FORMAT, "not a document tollan reads (TIFF, PDF, PostScript, BMP, PBM)"},
    {TOLLAN_E_DOC_TIFF, "the TIFF cannot be read, or a page of it is not black and white"},
    {TOLLAN_E_DOC_NO_GHOSTSCRIPT, "PDF and PostScript need Ghostscript (gs), which is not installed"},
    {TOLLAN_E_DOC_GHOSTSCRIPT, "Ghostscript failed on the document"},
    {TOLLAN_E_DOC_WRITE, "writing the document failed (disk full or I/O error)"},
}};

}  // namespace

const char *ReturnCodeText(uint16_t code) {
    for (const CodeText &entry : kDocumentCodeTexts)
        if (entry.code == code) return entry.text;
    return GetReturnCodeText(code);
}
