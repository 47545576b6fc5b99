// tollan convert, rotate and info: the page conversions, without a modem.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <filesystem>
#include <string>
#include <strings.h>

#include "cli/common.h"
#include "tollan.h"
#include "tollan_documents.h"

namespace {

bool HasExtension(const std::string &path, const char *extension) {
    size_t dot = path.rfind('.');
    return dot != std::string::npos && strcasecmp(path.c_str() + dot, extension) == 0;
}

struct ConvertArgs {
    std::string in, out;
    TraceChoice trace;
    int stretch = -1;
    int shrink = -1;
    int shrink_width = -1;
    int shrink_height = -1;
    bool fine = false;
    bool normal = false;
};

// The ranges are checked when the options are parsed (exit status 2).
void ApplyConversionOptions(const ConvertArgs &args) {
    if (args.stretch >= 0) SetStretchOption(args.stretch);
    if (args.shrink >= 0) SetShrinkOption(args.shrink);
    if (args.shrink_width >= 0) SetShrinkWidth(args.shrink_width);
    if (args.shrink_height >= 0) SetShrinkHeight(args.shrink_height);
}

// "converting FILE" and, when the file cannot be read, why.
std::string Converting(const std::string &verb, const std::string &file) { return verb + " " + file + FileProblem(file); }

// A document the documents library reads, told by its content.
bool IsDocument(const std::string &file) {
    int32_t resolution = 0;
    return GetDocumentResolution(file.c_str(), &resolution) != TOLLAN_E_DOC_FORMAT;
}

// The resolution pages are made at: as asked, else as the document asks.
int32_t PageResolution(const ConvertArgs &args) {
    if (args.normal) return 1;
    if (args.fine) return 0;
    int32_t resolution = 0;
    uint16_t rc = GetDocumentResolution(args.in.c_str(), &resolution);
    if (rc != TOLLAN_OK) Fail(Converting("reading", args.in), rc);
    return resolution;
}

// A document (TIFF, PDF, PostScript, PBM) becomes the page files of a base name.
void DocumentToPages(const ConvertArgs &args) {
    const int32_t resolution = PageResolution(args);
    int16_t pages = 0;
    uint16_t rc = ConvertDocumentToPages(args.in.c_str(), args.out.c_str(), resolution, 1, &pages);
    if (rc != TOLLAN_OK) Fail(Converting("converting", args.in), rc);
    printf("%s -> %d %s page file%s of %s\n", args.in.c_str(), pages, resolution ? "standard" : "fine",
           pages == 1 ? "" : "s", args.out.c_str());
}

// The page files of a base name become one TIFF Class F or PDF document.
void PagesToDocument(const ConvertArgs &args, bool pdf) {
    const int32_t resolution = args.normal ? 1 : 0;
    uint16_t rc = pdf ? WritePagesAsPdf(args.in.c_str(), args.out.c_str(), resolution)
                      : WritePagesAsTiff(args.in.c_str(), args.out.c_str(), TOLLAN_CODING_MH, resolution);
    if (rc != TOLLAN_OK) Fail("writing " + args.out + " of the page files of " + args.in, rc);
    printf("%s -> %s\n", args.in.c_str(), args.out.c_str());
}

void RunConvert(const ConvertArgs &args) {
    StartTrace(args.trace);
    ApplyConversionOptions(args);
    const bool bmp_in = HasExtension(args.in, ".bmp"), bmp_out = HasExtension(args.out, ".bmp");
    if (HasExtension(args.out, ".pdf") || HasExtension(args.out, ".tif") || HasExtension(args.out, ".tiff")) {
        return PagesToDocument(args, HasExtension(args.out, ".pdf"));
    }
    if (bmp_in && !bmp_out) {
        uint16_t rc = BmpToG3(args.in.c_str(), args.out.c_str());
        if (rc != TOLLAN_OK) Fail(Converting("converting", args.in), rc);
    } else if (!bmp_in && bmp_out) {
        uint16_t rc = G3ToBmp(args.in.c_str(), args.out.c_str());
        if (rc != TOLLAN_OK) Fail(Converting("converting", args.in), rc);
    } else if (!bmp_in && IsDocument(args.in)) {
        return DocumentToPages(args);
    } else {
        FailUsage("convert turns a document into page files, page files into a .tif or .pdf, a .bmp into a page "
                  "file or a page file into a .bmp");
    }
    printf("%s -> %s\n", args.in.c_str(), args.out.c_str());
}

void RunRotate(const std::string &in, const std::string &out, const TraceChoice &trace) {
    StartTrace(trace);
    uint16_t rc = RotateBitmap(in.c_str(), out.c_str(), 0);
    if (rc != TOLLAN_OK) Fail(Converting("rotating", in), rc);
    printf("%s -> %s (turned 90 degrees)\n", in.c_str(), out.c_str());
}

// The rows of a page the documents library wrote: its ".ffi" file's "Lines"
// (GetG3Size would count the end mark's EOLs as rows too).
int32_t PageLines(const std::string &info_path) {
    std::ifstream in(info_path);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("Lines = ", 0) == 0) return std::atoi(line.c_str() + 8);
    return 0;
}

// A document is converted as send converts it, and told with the pages it makes.
void ShowDocument(const std::string &file) {
    int32_t resolution = 0;
    uint16_t rc = GetDocumentResolution(file.c_str(), &resolution);
    if (rc != TOLLAN_OK) Fail("reading " + file, rc);
    ScratchDir scratch("tollan-info-");
    const std::string base = scratch.path() + "/doc.g3";
    int16_t pages = 0;
    rc = ConvertDocumentToPages(file.c_str(), base.c_str(), resolution, 1, &pages);
    if (rc != TOLLAN_OK) Fail("converting " + file, rc);
    const char *kind = resolution ? "standard" : "fine";
    if (pages == 1) printf("%s: document; sent as a %s page of ", file.c_str(), kind);
    else printf("%s: document; sent as %d %s pages: ", file.c_str(), pages, kind);
    for (int n = 1; n <= pages; ++n)
        printf("%s1728 x %d", n > 1 ? ", " : "", PageLines(scratch.path() + "/doc_p" + std::to_string(n) + ".ffi"));
    printf("\n");
}

void RunInfo(const std::string &file, const TraceChoice &trace) {
    StartTrace(trace);
    std::string problem = FileProblem(file);
    if (!problem.empty()) FailWith("cannot read " + file + problem);
    if (IsDocument(file)) return ShowDocument(file);
    int32_t width = 0, height = 0;
    uint16_t rc = GetG3Size(file.c_str(), &width, &height);
    if (rc != TOLLAN_OK) Fail("measuring " + file, rc);
    printf("%s: Group 3 page, %d x %d\n", file.c_str(), width, height);
}

}  // namespace

void AddConvertCommands(CLI::App &app) {
    static ConvertArgs convert;
    CLI::App *c = app.add_subcommand(
        "convert", "Convert a document to page files, page files to a TIFF or PDF, a BMP to a page file or back");
    c->add_option("IN", convert.in, "a document (TIFF, PDF, PostScript, PBM), a .bmp, a page file, or the base name "
                                    "of page files (BASE.g3 for BASE_p1.g3, ...) when OUT is a .tif or .pdf")
        ->required();
    c->add_option("OUT", convert.out, "a base name for page files, a .g3, a .bmp, a .tif or a .pdf")->required();
    auto *fine = c->add_flag("--fine", convert.fine,
                             "document to pages: fine resolution; pages without a .ffi file into TIFF/PDF: fine (default)");
    c->add_flag("--normal", convert.normal, "the same for standard resolution (default for documents: as they ask)")
        ->excludes(fine);
    c->add_option("--stretch", convert.stretch, "BMP to page: 1 widen to 1728, 2 stretch to 1145 lines, 4 to 2290 (sum; default 3)")
        ->check(CLI::Range(0, 5));
    c->add_option("--shrink", convert.shrink, "page to BMP: 1 narrow, 2 shorten (sum; default 0)")->check(CLI::Range(0, 3));
    c->add_option("--shrink-width", convert.shrink_width, "target width when narrowing (default 864)")
        ->check(CLI::Range(0, 1728));
    c->add_option("--shrink-height", convert.shrink_height, "target height when shortening (default 1145)")
        ->check(CLI::Range(0, 32767));
    AddTraceOption(c, convert.trace);
    c->footer(
        "Examples:\n  tollan convert scan.tif fax.g3       (fax_p1.g3, fax_p2.g3, ...)\n"
        "  tollan convert fax.g3 fax.pdf\n  tollan convert letter.bmp letter_p1.g3\n"
        "  tollan convert --shrink 3 fax_p1.g3 preview.bmp");
    c->callback([] { RunConvert(convert); });

    static std::string rotate_in, rotate_out;
    static TraceChoice rotate_trace;
    CLI::App *r = app.add_subcommand("rotate", "Turn a 1-bit BMP by 90 degrees");
    r->add_option("IN", rotate_in, "1-bit bitmap")->required();
    r->add_option("OUT", rotate_out, "turned bitmap")->required();
    AddTraceOption(r, rotate_trace);
    r->footer("Example:\n  tollan rotate landscape.bmp portrait.bmp");
    r->callback([] { RunRotate(rotate_in, rotate_out, rotate_trace); });

    static std::string info_file;
    static TraceChoice info_trace;
    CLI::App *i = app.add_subcommand("info", "Print the pages a document makes, or the size of a Group 3 page file");
    i->add_option("FILE", info_file, "a document (TIFF, PDF, PostScript, BMP, PBM) or a page file (known by content)")->required();
    AddTraceOption(i, info_trace);
    i->footer("Example:\n  tollan info fax_p1.g3");
    i->callback([] { RunInfo(info_file, info_trace); });
}
