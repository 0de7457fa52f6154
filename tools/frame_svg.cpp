// Prints documentation that must follow the rate table:
//   frame_svg svg       the picture of the frame patterns (docs/frames.svg)
//   frame_svg markdown  the rate table of README.md
//   frame_svg roff      the rate table of the man page (docs/kelvor.1)
// The build checks that the committed files contain exactly this output.
#include <cstdio>
#include <cstring>
#include <string>

#include "frame_pattern.h"

namespace {

// The frame patterns the picture shows, in the order it shows them.
struct Pattern {
    uint8_t fill;
    uint8_t parity;
    uint8_t stop_bits;
};

constexpr Pattern kPatterns[] = {
    {0x55, kNoParity, kOneStopBit},
    {0xF0, kNoParity, kOneStopBit},
    {0x1C, kEvenParity, kTwoStopBits},
};
constexpr int kPatternCount = sizeof kPatterns / sizeof kPatterns[0];

bool matches(const Pattern& pattern, const RateEntry& row) {
    return (row.fill & 0xFF) == pattern.fill && row.parity == pattern.parity &&
           row.stop_bits == pattern.stop_bits;
}

std::string trimmed_label(const RateEntry& row) {
    const char* text = row.label;
    while (*text == ' ') {
        ++text;
    }
    return text;
}

std::string fill_text(const RateEntry& row) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", row.fill & 0xFF);
    return text;
}

// "18.33 (shown as 18)", "800 (start)", "960".
std::string frequency_cell(int index) {
    const RateEntry& row = rate_table[index];
    std::string text = wave_frequency_text(row);
    if (text != trimmed_label(row)) {
        text += " (shown as " + trimmed_label(row) + ")";
    }
    if (index == kStartIndex) {
        text += " (start)";
    }
    return text;
}

// Every row must make an even square wave with one of the pictured patterns;
// otherwise the documents would describe a table that no longer exists.
bool table_is_pictured() {
    bool ok = true;
    for (int i = 0; i < kRateCount; ++i) {
        const RateEntry& row = rate_table[i];
        bool found = false;
        for (const Pattern& pattern : kPatterns) {
            found = found || matches(pattern, row);
        }
        if (!found || bits_per_period(frame_line_bits(row)) == 0) {
            std::fprintf(stderr, "frame_svg: row %d (%s %s) is not one of the pictured patterns\n",
                         i, fill_text(row).c_str(), frame_name(row).c_str());
            ok = false;
        }
    }
    return ok;
}

void print_markdown() {
    std::printf("| Row | Frequency (Hz) | Line settings | Fill byte |\n");
    std::printf("|---|---|---|---|\n");
    for (int i = 0; i < kRateCount; ++i) {
        const RateEntry& row = rate_table[i];
        std::printf("| %d | %s | %u bit/s %s | %s |\n", i, frequency_cell(i).c_str(),
                    static_cast<unsigned>(row.baud), frame_name(row).c_str(),
                    fill_text(row).c_str());
    }
}

void print_roff() {
    std::printf(".TS\ntab(;);\nrb rb rb lb lb\nr r r l l.\n");
    std::printf("Row;Frequency (Hz);bit/s;Frame;Byte\n_\n");
    for (int i = 0; i < kRateCount; ++i) {
        const RateEntry& row = rate_table[i];
        std::printf("%d;%s;%u;%s;%s\n", i, frequency_cell(i).c_str(),
                    static_cast<unsigned>(row.baud), frame_name(row).c_str(),
                    fill_text(row).c_str());
    }
    std::printf(".TE\n");
}

// Picture geometry, in pixels.
constexpr int kCell = 28;     // one bit time
constexpr int kLeft = 80;     // room for the level names
constexpr int kIdleCells = 2; // idle line before the first frame
constexpr int kFrames = 2;    // frames drawn back to back
constexpr int kPanelHeight = 140;
constexpr int kTop = 44; // below the title
constexpr int kWidth = kLeft + (kIdleCells + kFrames * kMaxFrameBits) * kCell + 20;

// Role of bit i of a frame: S start, 0-7 data bit, P parity, T stop.
std::string bit_role(const FrameBits& frame, int i, bool parity) {
    if (i == 0) {
        return "S";
    }
    if (i <= 8) {
        return std::to_string(i - 1);
    }
    if (parity && i == 9) {
        return "P";
    }
    return i < frame.count ? "T" : "";
}

void print_panel(const Pattern& pattern, int y0) {
    int first = -1;
    std::string frequencies;
    for (int i = 0; i < kRateCount; ++i) {
        if (matches(pattern, rate_table[i])) {
            first = first < 0 ? i : first;
            frequencies += (frequencies.empty() ? "" : ", ") + wave_frequency_text(rate_table[i]);
        }
    }
    const RateEntry& row = rate_table[first];
    const FrameBits frame = frame_line_bits(row);
    const int period = bits_per_period(frame);
    const bool parity = row.parity == kEvenParity;

    std::printf("  <text x=\"10\" y=\"%d\" font-weight=\"bold\">0x%02X at %s: %s, %d bits per "
                "frame, %d period%s per frame, wave = line speed / %d</text>\n",
                y0 + 14, pattern.fill, frame_name(row).c_str(), frame_text(frame).c_str(),
                frame.count, frame.count / period, frame.count / period == 1 ? "" : "s", period);
    std::printf("  <text x=\"10\" y=\"%d\" fill=\"#444\">rows at %s Hz</text>\n", y0 + 30,
                frequencies.c_str());

    const int high = y0 + 52;
    const int low = y0 + 92;
    const int frame_x = kLeft + kIdleCells * kCell;
    std::printf("  <text x=\"%d\" y=\"%d\" text-anchor=\"end\">high</text>\n", kLeft - 8, high + 4);
    std::printf("  <text x=\"%d\" y=\"%d\" text-anchor=\"end\">low</text>\n", kLeft - 8, low + 4);
    std::printf("  <text x=\"%d\" y=\"%d\" text-anchor=\"middle\" fill=\"#444\">idle</text>\n",
                kLeft + kIdleCells * kCell / 2, y0 + 46);

    for (int f = 0; f <= kFrames; ++f) {
        const int x = frame_x + f * frame.count * kCell;
        std::printf("  <line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"#999\" "
                    "stroke-dasharray=\"3,3\"/>\n",
                    x, y0 + 36, x, y0 + 126);
        if (f < kFrames) {
            std::printf("  <text x=\"%d\" y=\"%d\" text-anchor=\"middle\" fill=\"#444\">frame "
                        "%d</text>\n",
                        x + frame.count * kCell / 2, y0 + 46, f + 1);
        }
    }

    // The wave: idle high, then the frames back to back.
    std::string path = "M" + std::to_string(kLeft) + " " + std::to_string(high);
    int level = 1;
    int x = frame_x;
    for (int f = 0; f < kFrames; ++f) {
        for (int i = 0; i < frame.count; ++i) {
            if (frame.level[i] != level) {
                level = frame.level[i];
                path += " H" + std::to_string(x) + " V" + std::to_string(level ? high : low);
            }
            x += kCell;
        }
    }
    path += " H" + std::to_string(x);
    std::printf("  <path d=\"%s\" fill=\"none\" stroke=\"#c00\" stroke-width=\"2\"/>\n",
                path.c_str());

    for (int f = 0; f < kFrames; ++f) {
        for (int i = 0; i < frame.count; ++i) {
            const int cx = frame_x + (f * frame.count + i) * kCell + kCell / 2;
            std::printf("  <text x=\"%d\" y=\"%d\" text-anchor=\"middle\" "
                        "font-family=\"monospace\">%d</text>\n",
                        cx, y0 + 108, frame.level[i]);
            std::printf("  <text x=\"%d\" y=\"%d\" text-anchor=\"middle\" font-size=\"10\" "
                        "fill=\"#666\">%s</text>\n",
                        cx, y0 + 122, bit_role(frame, i, parity).c_str());
        }
    }
}

void print_svg() {
    const int height = kTop + kPatternCount * kPanelHeight + 40;
    std::printf("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" "
                "viewBox=\"0 0 %d %d\" font-family=\"sans-serif\" font-size=\"12\">\n",
                kWidth, height, kWidth, height);
    std::printf("  <rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n");
    std::printf("  <text x=\"10\" y=\"22\" font-size=\"15\" font-weight=\"bold\">The three frame "
                "patterns of kelvor on the transmit line</text>\n");
    for (int p = 0; p < kPatternCount; ++p) {
        print_panel(kPatterns[p], kTop + p * kPanelHeight);
    }
    const int y = kTop + kPatternCount * kPanelHeight;
    std::printf("  <text x=\"10\" y=\"%d\" fill=\"#444\">S start bit, 0-7 data bits (least "
                "significant first), P even parity bit, T stop bit. One column is one bit "
                "time.</text>\n",
                y + 6);
    std::printf("  <text x=\"10\" y=\"%d\" fill=\"#444\">Logic levels as on a TTL adapter's "
                "TXD; an RS-232 TX pin carries the same wave inverted (idle "
                "negative).</text>\n",
                y + 24);
    std::printf("</svg>\n");
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: frame_svg svg|markdown|roff\n");
        return 2;
    }
    if (!table_is_pictured()) {
        return 1;
    }
    if (std::strcmp(argv[1], "svg") == 0) {
        print_svg();
    } else if (std::strcmp(argv[1], "markdown") == 0) {
        print_markdown();
    } else if (std::strcmp(argv[1], "roff") == 0) {
        print_roff();
    } else {
        std::fprintf(stderr, "usage: frame_svg svg|markdown|roff\n");
        return 2;
    }
    return 0;
}
