// Where a source page lands on a 1728-dot fax row, as a fax machine scans:
// the page keeps its size where it fits, a few dots too wide it loses its
// edges, and wider (B4, A3) it is reduced to fit, its length with it. The
// vertical scale goes from the source's lines per inch to the fax's.
#include <cmath>
#include <algorithm>
#include <cstring>

#include "documents/documents.h"

namespace {

// Resolutions this close to a fax resolution are that resolution: scanners
// and drawing programs write 200 for 204 and 200 for 196.
constexpr double kResolutionTolerance = 0.025;
// A page at most this much wider than the fax row is cut at both edges
// (a Letter page is 1734 dots at 204 dpi), not reduced.
constexpr double kCutTolerance = 0.025;

bool Near(double value, double fax) { return std::fabs(value - fax) <= fax * kResolutionTolerance; }

double SnapHorizontal(double dpi) { return dpi <= 0 || Near(dpi, kFaxDpi) ? kFaxDpi : dpi; }

// Without a vertical resolution, a page no wider than a fax row is told by its
// length: no longer than a standard Legal page (1372 rows) it is a standard
// page, longer a fine one. Other pages have square dots.
constexpr int32_t kLongestStandardPage = 1400;

double SnapVertical(double dpi, double x_dpi, const SourceGeometry &source) {
    if (dpi <= 0) {
        const bool fax_width = x_dpi == kFaxDpi && source.width <= kFaxWidth * (1 + kCutTolerance);
        if (fax_width) dpi = source.rows <= kLongestStandardPage ? kStandardLpi : kFineLpi;
        else dpi = x_dpi;
    }
    if (Near(dpi, kFineLpi)) return kFineLpi;
    if (Near(dpi, kStandardLpi)) return kStandardLpi;
    return dpi;
}

// Below this, a vertical resolution is standard's 98 rather than fine's 196.
constexpr double kFineFromLpi = 150.0;

// The ratio as a fraction, exact for the ratios that keep rows whole.
void RowRatio(double ratio, ScalePlan *plan) {
    for (uint64_t den : {1, 2, 3, 4}) {
        for (uint64_t num = 1; num <= 4; ++num) {
            if (std::fabs(ratio - static_cast<double>(num) / static_cast<double>(den)) < 1e-9) {
                plan->v_num = num;
                plan->v_den = den;
                return;
            }
        }
    }
    plan->v_den = 1u << 16;
    plan->v_num = static_cast<uint64_t>(std::llround(ratio * static_cast<double>(plan->v_den)));
    if (plan->v_num == 0) plan->v_num = 1;
}

}  // namespace

bool AsksForStandard(const SourceGeometry &source) {
    const double x_dpi = SnapHorizontal(source.x_dpi);
    return SnapVertical(source.y_dpi, x_dpi, source) < kFineFromLpi;
}

void PlanScaling(const SourceGeometry &source, int32_t target_lpi, ScalePlan *plan) {
    const double x_dpi = SnapHorizontal(source.x_dpi);
    const double y_dpi = SnapVertical(source.y_dpi, x_dpi, source);
    // Output dots per source dot, and how much larger the page comes out
    // than it is (1 unless reduced).
    double h = kFaxDpi / x_dpi;
    double size = 1.0;
    double natural = source.width * h;
    double cut = 0;  // source dots dropped at the left edge
    if (natural > kFaxWidth * (1 + kCutTolerance)) {
        h = static_cast<double>(kFaxWidth) / source.width;
        size = h * x_dpi / kFaxDpi;
        natural = kFaxWidth;
    } else if (natural > kFaxWidth) {
        cut = (natural - kFaxWidth) / 2 / h;
        natural = kFaxWidth;
    }
    plan->image_width = static_cast<int32_t>(std::lround(natural));
    if (plan->image_width > kFaxWidth) plan->image_width = kFaxWidth;
    if (plan->image_width < 1) plan->image_width = 1;
    plan->left = (kFaxWidth - plan->image_width) / 2;
    plan->span.resize(static_cast<size_t>(plan->image_width) + 1);
    for (int32_t i = 0; i <= plan->image_width; ++i) {
        int32_t s = static_cast<int32_t>(std::floor(cut + i / h + 1e-9));
        if (s > source.width) s = source.width;
        plan->span[static_cast<size_t>(i)] = s;
    }
    // The last output dot reaches the source's last dot, rounding aside.
    if (cut == 0) plan->span[static_cast<size_t>(plan->image_width)] = source.width;
    // Every output dot takes at least one source dot.
    for (int32_t i = 0; i < plan->image_width; ++i) {
        int32_t &start = plan->span[static_cast<size_t>(i)];
        if (start >= source.width) start = source.width - 1;
        int32_t &end = plan->span[static_cast<size_t>(i) + 1];
        if (end <= start) end = start + 1;
    }
    RowRatio(target_lpi / y_dpi * size, plan);
}

void StartRowScaler(RowScaler *s, const ScalePlan *plan) {
    s->plan = plan;
    s->out_row.assign(static_cast<size_t>(PackedRowBytes(kFaxWidth)), 0);
    s->pending = false;
    s->source_rows = 0;
    s->emitted = 0;
}

namespace {

// ORs the source row into the output row through the plan's spans.
void GatherRow(const ScalePlan &plan, const uint8_t *source, uint8_t *out) {
    const int32_t *span = plan.span.data();
    for (int32_t i = 0; i < plan.image_width; ++i) {
        const int32_t start = span[i], end = span[i + 1];
        bool black = false;
        if (end - start == 1) {
            black = DotAt(source, start);
        } else {
            // Any black dot in the span keeps thin lines when reducing.
            black = NextChange(source, end, start, 0) < end;
        }
        if (black) out[(plan.left + i) >> 3] |= static_cast<uint8_t>(0x80 >> ((plan.left + i) & 7));
    }
}

uint16_t EmitRows(RowScaler *s, uint64_t due, PageWriter *w) {
    while (s->emitted < due) {
        if (w->rows >= kMaxPageRows) return TOLLAN_E_PAGE_TOO_LARGE;
        if (uint16_t rc = WritePageRow(w, s->out_row.data())) return rc;
        ++s->emitted;
    }
    std::fill(s->out_row.begin(), s->out_row.end(), 0);
    s->pending = false;
    return TOLLAN_OK;
}

}  // namespace

uint16_t ScaleRow(RowScaler *s, const uint8_t *source, PageWriter *w) {
    GatherRow(*s->plan, source, s->out_row.data());
    s->pending = true;
    ++s->source_rows;
    const uint64_t due = s->source_rows * s->plan->v_num / s->plan->v_den;
    if (due > s->emitted) return EmitRows(s, due, w);
    return TOLLAN_OK;
}

uint16_t FinishRowScaler(RowScaler *s, PageWriter *w) {
    // Source rows gathered but short of a whole output row still make one.
    if (s->pending || s->emitted == 0) return EmitRows(s, s->emitted + 1, w);
    return TOLLAN_OK;
}
