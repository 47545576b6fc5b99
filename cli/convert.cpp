// tollan convert, rotate and info: the page conversions, without a modem.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <strings.h>

#include "cli/common.h"
#include "cli/picture.h"
#include "tollan.h"

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

void RunConvert(const ConvertArgs &args) {
    StartTrace(args.trace);
    ApplyConversionOptions(args);
    if (HasExtension(args.in, ".bmp") && !HasExtension(args.out, ".bmp")) {
        uint16_t rc = BmpToG3(args.in.c_str(), args.out.c_str());
        if (rc != TOLLAN_OK) Fail(Converting("converting", args.in), rc);
    } else if (!HasExtension(args.in, ".bmp") && HasExtension(args.out, ".bmp")) {
        uint16_t rc = G3ToBmp(args.in.c_str(), args.out.c_str());
        if (rc != TOLLAN_OK) Fail(Converting("converting", args.in), rc);
    } else {
        FailUsage("convert turns a .bmp into a page file or a page file into a .bmp");
    }
    printf("%s -> %s\n", args.in.c_str(), args.out.c_str());
}

void RunRotate(const std::string &in, const std::string &out, const TraceChoice &trace) {
    StartTrace(trace);
    uint16_t rc = RotateBitmap(in.c_str(), out.c_str(), 0);
    if (rc != TOLLAN_OK) Fail(Converting("rotating", in), rc);
    printf("%s -> %s (turned 90 degrees)\n", in.c_str(), out.c_str());
}

bool IsPicture(const std::string &file) {
    std::ifstream in(file, std::ios::binary);
    std::string start(3, '\0');
    in.read(start.data(), static_cast<std::streamsize>(start.size()));
    start.resize(static_cast<size_t>(in.gcount()));
    return LooksLikePicture(start);
}

// A picture is read as send reads it, and told with the page it makes.
void ShowPicture(const std::string &file) {
    std::error_code error;
    if (std::filesystem::file_size(file, error) > kMaxPictureFileBytes || error)
        FailWith(file + " " + PictureReadText(PictureRead::kTooLarge));
    std::ifstream in(file, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Picture picture;
    PictureRead read = ReadPicture(bytes, &picture);
    if (read != PictureRead::kOk) FailWith(file + " " + PictureReadText(read));
    FaxResolution resolution = ResolutionOf(picture);
    Picture page = FaxPage(picture, resolution);
    printf("%s: bitmap, %d x %d", file.c_str(), picture.width, picture.height);
    if (picture.dpi_x > 0 && picture.dpi_y > 0) printf(", %.0f x %.0f dpi", picture.dpi_x, picture.dpi_y);
    printf("; sent as a %s page of %d x %d\n", resolution == FaxResolution::kFine ? "fine" : "standard", page.width,
           page.height);
}

void RunInfo(const std::string &file, const TraceChoice &trace) {
    StartTrace(trace);
    std::string problem = FileProblem(file);
    if (!problem.empty()) FailWith("cannot read " + file + problem);
    if (IsPicture(file)) return ShowPicture(file);
    int32_t width = 0, height = 0;
    uint16_t rc = GetG3Size(file.c_str(), &width, &height);
    if (rc != TOLLAN_OK) Fail("measuring " + file, rc);
    printf("%s: Group 3 page, %d x %d\n", file.c_str(), width, height);
}

}  // namespace

void AddConvertCommands(CLI::App &app) {
    static ConvertArgs convert;
    CLI::App *c = app.add_subcommand("convert", "Convert a BMP to a Group 3 page file, or a page file to a BMP");
    c->add_option("IN", convert.in, "input file (.bmp, or a page file such as .g3)")->required();
    c->add_option("OUT", convert.out, "output file (.g3 or .bmp)")->required();
    c->add_option("--stretch", convert.stretch, "BMP to page: 1 widen to 1728, 2 stretch to 1145 lines, 4 to 2290 (sum; default 3)")
        ->check(CLI::Range(0, 5));
    c->add_option("--shrink", convert.shrink, "page to BMP: 1 narrow, 2 shorten (sum; default 0)")->check(CLI::Range(0, 3));
    c->add_option("--shrink-width", convert.shrink_width, "target width when narrowing (default 864)")
        ->check(CLI::Range(0, 1728));
    c->add_option("--shrink-height", convert.shrink_height, "target height when shortening (default 1145)")
        ->check(CLI::Range(0, 32767));
    AddTraceOption(c, convert.trace);
    c->footer("Examples:\n  tollan convert letter.bmp letter_p1.g3\n  tollan convert --shrink 3 fax_p1.g3 preview.bmp");
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
    CLI::App *i = app.add_subcommand("info", "Print the size of a picture (BMP, PBM) or a Group 3 page file");
    i->add_option("FILE", info_file, "a BMP or PBM picture, or a page file (known by content)")->required();
    AddTraceOption(i, info_trace);
    i->footer("Example:\n  tollan info fax_p1.g3");
    i->callback([] { RunInfo(info_file, info_trace); });
}
