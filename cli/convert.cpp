// tollan convert, rotate and info: the page conversions, without a modem.
#include <cstdio>
#include <string>
#include <strings.h>

#include "cli/common.h"
#include "tollan.h"

namespace {

bool HasExtension(const std::string &path, const char *extension) {
    size_t dot = path.rfind('.');
    return dot != std::string::npos && strcasecmp(path.c_str() + dot, extension) == 0;
}

struct ConvertArgs {
    std::string in, out, trace;
    int stretch = -1;
    int shrink = -1;
    int shrink_width = -1;
    int shrink_height = -1;
};

void ApplyConversionOptions(const ConvertArgs &args) {
    if (args.stretch >= 0 && SetStretchOption(args.stretch) != TOLLAN_OK) FailWith("--stretch takes 0 to 5");
    if (args.shrink >= 0 && SetShrinkOption(args.shrink) != TOLLAN_OK) FailWith("--shrink takes 0 to 3");
    if (args.shrink_width >= 0 && SetShrinkWidth(args.shrink_width) != TOLLAN_OK)
        FailWith("--shrink-width takes 0 to 1728");
    if (args.shrink_height >= 0 && SetShrinkHeight(args.shrink_height) != TOLLAN_OK)
        FailWith("--shrink-height takes 0 to 32767");
}

void RunConvert(const ConvertArgs &args) {
    StartTrace(args.trace);
    ApplyConversionOptions(args);
    if (HasExtension(args.in, ".bmp") && !HasExtension(args.out, ".bmp")) {
        uint16_t rc = BmpToG3(args.in.c_str(), args.out.c_str());
        if (rc != TOLLAN_OK) Fail("converting " + args.in, rc);
    } else if (!HasExtension(args.in, ".bmp") && HasExtension(args.out, ".bmp")) {
        uint16_t rc = G3ToBmp(args.in.c_str(), args.out.c_str());
        if (rc != TOLLAN_OK) Fail("converting " + args.in, rc);
    } else {
        FailWith("convert turns a .bmp into a page file or a page file into a .bmp");
    }
    printf("%s -> %s\n", args.in.c_str(), args.out.c_str());
}

void RunRotate(const std::string &in, const std::string &out, const std::string &trace) {
    StartTrace(trace);
    uint16_t rc = RotateBitmap(in.c_str(), out.c_str(), 0);
    if (rc != TOLLAN_OK) Fail("rotating " + in, rc);
    printf("%s -> %s (turned 90 degrees)\n", in.c_str(), out.c_str());
}

void RunInfo(const std::string &file, const std::string &trace) {
    StartTrace(trace);
    int32_t width = 0, height = 0;
    bool bitmap = HasExtension(file, ".bmp");
    uint16_t rc = bitmap ? GetBmpSize(file.c_str(), &width, &height) : GetG3Size(file.c_str(), &width, &height);
    if (rc != TOLLAN_OK) Fail("measuring " + file, rc);
    printf("%s: %s, %d x %d\n", file.c_str(), bitmap ? "1-bit bitmap" : "Group 3 page", width, height);
}

}  // namespace

void AddConvertCommands(CLI::App &app) {
    static ConvertArgs convert;
    CLI::App *c = app.add_subcommand("convert", "Convert a BMP to a Group 3 page file, or a page file to a BMP");
    c->add_option("IN", convert.in, "input file (.bmp, or a page file such as .g3)")->required();
    c->add_option("OUT", convert.out, "output file (.g3 or .bmp)")->required();
    c->add_option("--stretch", convert.stretch, "BMP to page: 1 widen to 1728, 2 stretch to 1145 lines, 4 to 2290 (sum; default 3)");
    c->add_option("--shrink", convert.shrink, "page to BMP: 1 narrow, 2 shorten (sum; default 0)");
    c->add_option("--shrink-width", convert.shrink_width, "target width when narrowing (default 864)");
    c->add_option("--shrink-height", convert.shrink_height, "target height when shortening (default 1145)");
    AddTraceOption(c, convert.trace);
    c->footer("Examples:\n  tollan convert letter.bmp letter_p1.g3\n  tollan convert --shrink 3 fax_p1.g3 preview.bmp");
    c->callback([] { RunConvert(convert); });

    static std::string rotate_in, rotate_out, rotate_trace;
    CLI::App *r = app.add_subcommand("rotate", "Turn a 1-bit BMP by 90 degrees");
    r->add_option("IN", rotate_in, "1-bit bitmap")->required();
    r->add_option("OUT", rotate_out, "turned bitmap")->required();
    AddTraceOption(r, rotate_trace);
    r->footer("Example:\n  tollan rotate landscape.bmp portrait.bmp");
    r->callback([] { RunRotate(rotate_in, rotate_out, rotate_trace); });

    static std::string info_file, info_trace;
    CLI::App *i = app.add_subcommand("info", "Print the size of a BMP or a Group 3 page file");
    i->add_option("FILE", info_file, "a .bmp or a page file")->required();
    AddTraceOption(i, info_trace);
    i->footer("Example:\n  tollan info fax_p1.g3");
    i->callback([] { RunInfo(info_file, info_trace); });
}
