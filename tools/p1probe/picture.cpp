#include "picture.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>

namespace {

// Panel geometry, pixels from the panel's top and the image's left.
constexpr int plot_left = 80;
constexpr int plot_width = waterfall_columns;  // one column per pixel
constexpr int spectrum_top = 30;
constexpr int spectrum_height = 170;
constexpr int waterfall_top = 226;
constexpr int waterfall_height = 180;
constexpr int bar_left = plot_left + plot_width + 12;
constexpr int bar_width = 14;
constexpr int colour_levels = 32;         // few colours: the image compresses well
constexpr double waterfall_floor_db = 5;  // bottom of the colour scale above the noise median
constexpr size_t title_peaks = 3;
static_assert(plot_left + plot_width + 80 == picture_width);
static_assert(waterfall_top + waterfall_height + 34 == picture_panel);

struct rgb {
  double r, g, b;
};

// Dark blue through blue, cyan and yellow to red as the level rises (0..1).
rgb colour(double x) {
  static const rgb stops[] = {
      {0.02, 0.02, 0.12}, {0.05, 0.1, 0.6}, {0.0, 0.75, 0.85}, {1.0, 0.95, 0.1}, {0.95, 0.1, 0.05}};
  x = std::clamp(x, 0.0, 1.0);
  x = std::floor(x * (colour_levels - 1) + 0.5) / (colour_levels - 1);
  const double pos = x * 4;
  const int i = std::min(3, static_cast<int>(pos));
  const double f = pos - i;
  return {stops[i].r + f * (stops[i + 1].r - stops[i].r),
          stops[i].g + f * (stops[i + 1].g - stops[i].g),
          stops[i].b + f * (stops[i + 1].b - stops[i].b)};
}

double nice_step(double span, int ticks) {
  const double raw = span / ticks;
  const double mag = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0, 10.0})
    if (m * mag >= raw) return m * mag;
  return 10 * mag;
}

void text(cairo_t* cr, double x, double y, const char* s, double align = 0, double size = 11,
          bool bold = false) {
  cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL,
                         bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, size);
  cairo_text_extents_t e;
  cairo_text_extents(cr, s, &e);
  cairo_move_to(cr, x - align * e.x_advance, y);
  cairo_show_text(cr, s);
}

void vertical_text(cairo_t* cr, double x, double y, const char* s) {
  cairo_save(cr);
  cairo_translate(cr, x, y);
  cairo_rotate(cr, -std::numbers::pi / 2);
  text(cr, 0, 0, s, 0.5);
  cairo_restore(cr);
}

void set(cairo_t* cr, double r, double g, double b) {
  cairo_set_source_rgb(cr, r, g, b);
}

// Frequency ticks (absolute kHz) under a plot whose bottom edge is at `y`.
void frequency_axis(cairo_t* cr, double y, double lo_khz, double hi_khz, bool labels) {
  const double step = nice_step(hi_khz - lo_khz, 10);
  set(cr, 0, 0, 0);
  cairo_set_line_width(cr, 1);
  for (double f = std::ceil(lo_khz / step) * step; f <= hi_khz + 1e-9; f += step) {
    const double x = plot_left + (f - lo_khz) / (hi_khz - lo_khz) * plot_width;
    cairo_move_to(cr, std::floor(x) + 0.5, y);
    cairo_line_to(cr, std::floor(x) + 0.5, y + 4);
    cairo_stroke(cr);
    if (!labels) continue;
    char s[32];
    if (step >= 1)
      std::snprintf(s, sizeof s, "%.0f", f);
    else
      std::snprintf(s, sizeof s, "%.1f", f);
    text(cr, x, y + 15, s, 0.5);
  }
}

void frame_box(cairo_t* cr, double top, double height) {
  set(cr, 0, 0, 0);
  cairo_set_line_width(cr, 1);
  cairo_rectangle(cr, plot_left - 0.5, top - 0.5, plot_width + 1, height + 1);
  cairo_stroke(cr);
}

void draw_panel(cairo_t* cr, const picture_input& in, const picture_receiver& rx, int top) {
  const spectrum& s = *rx.s;
  const double centre_khz = rx.hz / 1000.0;
  const double lo_khz = centre_khz - in.rate / 2000, hi_khz = centre_khz + in.rate / 2000;

  // Title with the strongest signals.
  char title[512];
  int len =
      std::snprintf(title, sizeof title, "Receiver %d   tuned to %.3f kHz", rx.number, centre_khz);
  if (!rx.peaks.empty()) len += std::snprintf(title + len, sizeof title - len, "   strongest:");
  for (size_t i = 0; i < rx.peaks.size() && i < title_peaks && len < 400; ++i)
    len += std::snprintf(title + len, sizeof title - len, "  %+.2f kHz %.1f dBFS",
                         rx.peaks[i].offset_hz / 1000, rx.peaks[i].level_dbfs);
  set(cr, 0, 0, 0);
  text(cr, plot_left, top + 18, title, 0, 12, true);

  // Averaged spectrum: the strongest bin of each pixel column.
  const std::vector<double> db = averaged_dbfs(s);
  const double y0 = top + spectrum_top;
  if (db.empty()) {
    frame_box(cr, y0, spectrum_height);
    text(cr, plot_left + plot_width / 2.0, y0 + spectrum_height / 2.0, "no samples", 0.5);
    return;
  }
  std::vector<double> column(plot_width, -300);
  for (int i = 0; i < s.n; ++i) {
    const int c = static_cast<int>(int64_t(i) * plot_width / s.n);
    column[c] = std::max(column[c], db[i]);
  }
  const double noise = noise_floor_dbfs(s);
  const double top_db = *std::max_element(column.begin(), column.end());
  double db_top = std::ceil((top_db + 5) / 10) * 10;
  double db_bottom = std::floor((noise - 10) / 10) * 10;
  if (db_top - db_bottom < 40) db_bottom = db_top - 40;
  const double db_step = nice_step(db_top - db_bottom, 6);
  auto ys = [&](double v) {
    return y0 +
           spectrum_height * (db_top - std::clamp(v, db_bottom, db_top)) / (db_top - db_bottom);
  };
  // Grid and level labels.
  cairo_set_line_width(cr, 1);
  for (double v = std::ceil(db_bottom / db_step) * db_step; v <= db_top + 1e-9; v += db_step) {
    set(cr, 0.85, 0.85, 0.85);
    cairo_move_to(cr, plot_left, std::floor(ys(v)) + 0.5);
    cairo_line_to(cr, plot_left + plot_width, std::floor(ys(v)) + 0.5);
    cairo_stroke(cr);
    char lab[16];
    std::snprintf(lab, sizeof lab, "%.0f", v);
    set(cr, 0, 0, 0);
    text(cr, plot_left - 6, ys(v) + 4, lab, 1);
  }
  // The tuned frequency.
  set(cr, 0.6, 0.6, 0.6);
  const double dash[] = {3, 3};
  cairo_set_dash(cr, dash, 2, 0);
  cairo_move_to(cr, plot_left + plot_width / 2 + 0.5, y0);
  cairo_line_to(cr, plot_left + plot_width / 2 + 0.5, y0 + spectrum_height);
  cairo_stroke(cr);
  cairo_set_dash(cr, nullptr, 0, 0);
  // The trace, filled below.
  cairo_move_to(cr, plot_left, y0 + spectrum_height);
  for (int c = 0; c < plot_width; ++c) cairo_line_to(cr, plot_left + c + 0.5, ys(column[c]));
  cairo_line_to(cr, plot_left + plot_width, y0 + spectrum_height);
  cairo_close_path(cr);
  cairo_set_source_rgba(cr, 0.1, 0.3, 0.8, 0.25);
  cairo_fill_preserve(cr);
  cairo_new_path(cr);
  for (int c = 0; c < plot_width; ++c) {
    if (c == 0)
      cairo_move_to(cr, plot_left + 0.5, ys(column[c]));
    else
      cairo_line_to(cr, plot_left + c + 0.5, ys(column[c]));
  }
  set(cr, 0.05, 0.2, 0.6);
  cairo_stroke(cr);
  // Markers on the strongest signals.
  set(cr, 0.85, 0.1, 0.1);
  for (const peak& p : rx.peaks) {
    const double x = plot_left + (p.offset_hz / in.rate + 0.5) * plot_width;
    const double y = std::max(y0 + 8, ys(p.level_dbfs) - 4);
    cairo_move_to(cr, x, y);
    cairo_line_to(cr, x - 4, y - 7);
    cairo_line_to(cr, x + 4, y - 7);
    cairo_close_path(cr);
    cairo_fill(cr);
  }
  frame_box(cr, y0, spectrum_height);
  frequency_axis(cr, y0 + spectrum_height, lo_khz, hi_khz, true);
  set(cr, 0, 0, 0);
  vertical_text(cr, 22, y0 + spectrum_height / 2.0, "level (dBFS)");

  // Waterfall.
  const double wy = top + waterfall_top;
  // Each waterfall pixel shows the strongest of the bins under it, which
  // for noise alone lies a few dB above the median of all bins: the scale
  // starts above that, so that the noise is a dark, quiet background.
  const double lo = noise + waterfall_floor_db, hi = std::max(top_db, lo + 20);
  cairo_surface_t* img =
      cairo_image_surface_create(CAIRO_FORMAT_RGB24, plot_width, waterfall_height);
  unsigned char* data = cairo_image_surface_get_data(img);
  const int stride = cairo_image_surface_get_stride(img);
  // Each pixel row shows the mean power of the rows that fall on it.
  std::vector<double> mean(plot_width);
  for (int y = 0; y < waterfall_height; ++y) {
    uint32_t* line = reinterpret_cast<uint32_t*>(data + y * stride);
    const int r0 = y * s.row_count / waterfall_height;
    const int r1 = std::max(r0 + 1, (y + 1) * s.row_count / waterfall_height);
    std::fill(mean.begin(), mean.end(), 0.0);
    for (int r = r0; r < r1 && r < s.row_count; ++r) {
      const std::vector<float> row = waterfall_row_dbfs(s, r);
      for (int c = 0; c < plot_width; ++c) mean[c] += std::pow(10.0, row[c] / 10) / (r1 - r0);
    }
    for (int c = 0; c < plot_width; ++c) {
      const rgb k = s.row_count == 0
                        ? rgb{1, 1, 1}
                        : colour((10 * std::log10(std::max(mean[c], 1e-30)) - lo) / (hi - lo));
      line[c] = uint32_t(k.r * 255) << 16 | uint32_t(k.g * 255) << 8 | uint32_t(k.b * 255);
    }
  }
  cairo_surface_mark_dirty(img);
  cairo_set_source_surface(cr, img, plot_left, wy);
  cairo_paint(cr);
  cairo_surface_destroy(img);
  frame_box(cr, wy, waterfall_height);
  frequency_axis(cr, wy + waterfall_height, lo_khz, hi_khz, true);
  set(cr, 0, 0, 0);
  text(cr, plot_left + plot_width / 2.0, wy + waterfall_height + 30, "frequency (kHz)", 0.5);
  // Time axis: seconds from the start, downwards.
  const double span = s.row_count * seconds_per_row(s);
  if (span > 0) {
    const double step = nice_step(span, 5);
    for (double t = 0; t <= span + 1e-9; t += step) {
      const double y = wy + t / span * waterfall_height;
      cairo_move_to(cr, plot_left - 4, std::floor(y) + 0.5);
      cairo_line_to(cr, plot_left, std::floor(y) + 0.5);
      cairo_stroke(cr);
      char lab[16];
      std::snprintf(lab, sizeof lab, step < 1 ? "%.1f" : "%.0f", t);
      text(cr, plot_left - 6, std::min(y + 4, wy + waterfall_height), lab, 1);
    }
  }
  vertical_text(cr, 22, wy + waterfall_height / 2.0, "time (s)");
  // Colour scale.
  for (int y = 0; y < waterfall_height; ++y) {
    const rgb k = colour(1.0 - double(y) / (waterfall_height - 1));
    set(cr, k.r, k.g, k.b);
    cairo_rectangle(cr, bar_left, wy + y, bar_width, 1);
    cairo_fill(cr);
  }
  set(cr, 0, 0, 0);
  cairo_rectangle(cr, bar_left - 0.5, wy - 0.5, bar_width + 1, waterfall_height + 1);
  cairo_stroke(cr);
  char lab[16];
  std::snprintf(lab, sizeof lab, "%.0f", hi);
  text(cr, bar_left + bar_width + 4, wy + 9, lab);
  std::snprintf(lab, sizeof lab, "%.0f", lo);
  text(cr, bar_left + bar_width + 4, wy + waterfall_height, lab);
  text(cr, bar_left + bar_width + 4, wy + waterfall_height / 2.0 + 4, "dBFS");
}

}  // namespace

bool write_picture(const std::string& path, const picture_input& in, std::string* error) {
  const int height = picture_height(static_cast<int>(in.rx.size()));
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, picture_width, height);
  cairo_t* cr = cairo_create(surface);
  set(cr, 1, 1, 1);
  cairo_paint(cr);
  set(cr, 0, 0, 0);
  text(cr, 12, 20, in.title.c_str(), 0, 14, true);
  char sub[256];
  std::snprintf(sub, sizeof sub,
                "%.0f kHz, %zu receiver%s, %.1f s. Spectrum: average over the run, strongest "
                "signals marked. Waterfall: time downwards.",
                in.rate / 1000, in.rx.size(), in.rx.size() == 1 ? "" : "s", in.seconds);
  text(cr, 12, 37, sub);
  for (size_t i = 0; i < in.rx.size(); ++i)
    draw_panel(cr, in, in.rx[i], picture_header + static_cast<int>(i) * picture_panel);
  cairo_destroy(cr);
  const cairo_status_t st = cairo_surface_write_to_png(surface, path.c_str());
  cairo_surface_destroy(surface);
  if (st != CAIRO_STATUS_SUCCESS) {
    *error = "cannot write " + path + ": " + cairo_status_to_string(st);
    return false;
  }
  return true;
}
