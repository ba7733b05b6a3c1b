#include "component/data_methods.h"

#include <algorithm>
#include <exception>
#include <string>
#include <vector>

#include "platform/automation/convert.h"
#include "platform/automation/error.h"

namespace qz::component {

namespace {

// Runs one guarded step of SeriesColor or BarEdge: a failure is dropped and
// the caller goes on with its next step. Answers whether the step succeeded.
template <class Step>
bool Guarded(Step&& step) noexcept {
  try {
    step();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

using Table = std::vector<std::vector<std::string>>;

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// One line's fields: split at the separator; with commas, a field may be
// quoted ("" inside stands for one quote), and the quotes are dropped.
std::vector<std::string> SplitLine(std::string_view line, char separator) {
  std::vector<std::string> fields;
  std::string field;
  bool quoted = false, was_quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
        field += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        field += c;
      }
    } else if (c == '"' && separator == ',' && Trimmed(field).empty()) {
      quoted = was_quoted = true;
      field.clear();
    } else if (c == separator) {
      fields.push_back(was_quoted ? field : std::string(Trimmed(field)));
      field.clear();
      was_quoted = false;
    } else {
      field += c;
    }
  }
  fields.push_back(was_quoted ? field : std::string(Trimmed(field)));
  return fields;
}

Table ParseTable(std::string_view text) {
  if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);  // BOM
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  while (!lines.empty() && Trimmed(lines.back()).empty()) lines.pop_back();
  const char separator =
      !lines.empty() && lines.front().find('\t') != std::string_view::npos ? '\t' : ',';
  Table table;
  for (std::string_view line : lines) table.push_back(SplitLine(line, separator));
  return table;
}

bool IsTitle(const std::string& cell) {
  return !cell.empty() && !TryParseNumber(cell).has_value();
}

// The writes LoadData makes, on whichever engine it is given.
void WriteTable(chart::Chart& chart, const Table& table, bool header, bool titles, int rows,
                int columns) {
  const auto rows16 = static_cast<std::int16_t>(rows);
  const auto columns16 = static_cast<std::int16_t>(columns);
  // Grow within the cap whatever the old shape: shrink first.
  if (static_cast<std::int64_t>(rows) * chart.ColumnCount() <= chart::kMaxCells) {
    Rows(chart, rows16);
    Columns(chart, columns16);
  } else {
    Columns(chart, columns16);
    Rows(chart, rows16);
  }
  const int first_row = header ? 1 : 0, first_column = titles ? 1 : 0;
  if (header) {
    const auto& line = table[0];
    for (int c = 0; c < columns; ++c) {
      CurrentColumn(chart, static_cast<std::int16_t>(c + 1));
      const std::size_t at = static_cast<std::size_t>(c + first_column);
      ColumnTitle(chart, at < line.size() ? std::string_view(line[at]) : std::string_view());
    }
  }
  for (int r = 0; r < rows; ++r) {
    const auto& line = table[static_cast<std::size_t>(r + first_row)];
    CurrentRow(chart, static_cast<std::int16_t>(r + 1));
    if (titles) RowTitle(chart, line.empty() ? std::string_view() : std::string_view(line[0]));
    for (int c = 0; c < columns; ++c) {
      CurrentColumn(chart, static_cast<std::int16_t>(c + 1));
      const std::size_t at = static_cast<std::size_t>(c + first_column);
      // The engine reads the cell text as SetData's text would be read.
      chart.SetData(at < line.size() ? std::string_view(line[at]) : std::string_view());
    }
  }
}

}  // namespace

void LoadData(chart::Chart& chart, std::string_view text) {
  const Table table = ParseTable(text);
  if (table.empty()) Raise(err::kInvalidProcedureCall, "LoadData: no data");
  bool header = false, titles = false;
  for (std::size_t i = 1; i < table[0].size(); ++i) header = header || IsTitle(table[0][i]);
  for (std::size_t r = header ? 1 : 0; r < table.size(); ++r)
    titles = titles || (!table[r].empty() && IsTitle(table[r][0]));
  // A lone first cell that is no number: one title, no data.
  if (table.size() == 1 && table[0].size() == 1 && IsTitle(table[0][0])) header = true;
  std::size_t width = 0;
  for (const auto& line : table) width = std::max(width, line.size());
  const std::size_t row_count = table.size() - (header ? 1 : 0);
  const std::size_t column_count = width - (titles ? 1 : 0);
  if (row_count == 0 || column_count == 0)
    Raise(err::kInvalidProcedureCall, "LoadData: no data rows or columns");
  if (row_count > 32767 || column_count > 32767) Raise(err::kOverflow);
  if (static_cast<std::int64_t>(row_count) * static_cast<std::int64_t>(column_count) >
      chart::kMaxCells)
    Raise(err::kOutOfMemory);
  const int rows = static_cast<int>(row_count), columns = static_cast<int>(column_count);
  chart::Chart scratch;
  WriteTable(scratch, table, header, titles, rows, columns);
  WriteTable(chart, table, header, titles, rows, columns);
}

void Rows(chart::Chart& chart, std::int16_t x) {
  chart.SetRowCount(x);
}

void Columns(chart::Chart& chart, std::int16_t x) {
  chart.SetColumnCount(x);
}

void CurrentRow(chart::Chart& chart, std::int16_t x) {
  chart.SetRow(x);
}

void CurrentColumn(chart::Chart& chart, std::int16_t x) {
  chart.SetColumn(x);
}

void SetData(chart::Chart& chart, double x) {
  chart.SetData(FormatNumber(x));
}

void RowTitle(chart::Chart& chart, std::string_view x) {
  chart.SetRowLabel(x);
}

void ColumnTitle(chart::Chart& chart, std::string_view x) {
  chart.SetColumnLabel(x);
}

void Rotate(chart::Chart& chart, std::int16_t x) {
  chart.Plot().View3D().SetRotation(static_cast<float>(x));
}

void LegendPosition(chart::Chart& chart, std::int16_t x) {
  if (x < 0 || x > 7) return;
  chart.Legend().SetLocation(x);
}

void SeriesColor(chart::Chart& chart, std::int16_t x, std::int16_t r, std::int16_t g,
                 std::int16_t b) noexcept {
  std::int32_t type = -1;
  const bool known = Guarded([&] { type = chart.ChartType(); });
  if (known && (type == chart::kLine3D || type == chart::kLine2D)) {
    Guarded([&] { chart.Plot().Series(x).Pen().Color().Set(r, g, b); });
  } else {
    Guarded([&] { chart.Plot().Series(x).DataPoints(-1).Brush().FillColor().Set(r, g, b); });
  }
}

void BarEdge(chart::Chart& chart, std::int16_t s, std::int16_t w, std::int16_t r, std::int16_t g,
             std::int16_t b) noexcept {
  auto points = [&] { return chart.Plot().Series(s).DataPoints(-1); };
  Guarded([&] { points().EdgePen().SetWidth(static_cast<float>(w)); });
  Guarded([&] { points().EdgePen().Color().Set(r, g, b); });
  if (w != 0) return;
  // Width 0: the edge takes the series' own fill colour; a component that
  // cannot be read keeps the value passed.
  Guarded([&] { r = points().Brush().FillColor().Red(); });
  Guarded([&] { g = points().Brush().FillColor().Green(); });
  Guarded([&] { b = points().Brush().FillColor().Blue(); });
  Guarded([&] { points().EdgePen().Color().Set(r, g, b); });
  Guarded([&] { points().EdgePen().SetWidth(0); });
}

}  // namespace qz::component
