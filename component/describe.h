// What a page can say about its chart besides the picture: an HTML image map
// of its data shapes, a plain-text description, and an accessible data
// table. Each composes the chart from the object's settings first, exactly
// as a render does (so the engine is left as a render would leave it, and a
// setting composition refuses raises its error here), then lays it out
// without painting or encoding anything.
#pragma once

#include "platform/automation/html.h"  // EscapeHtml

#include <cstdint>
#include <string>
#include <string_view>

#include "component/object_state.h"

namespace qz::component {

// The largest grids described cell by cell: a map of more areas, or a table
// of more cells, helps no reader and would cost the page a string of many
// megabytes. Larger grids raise 7 (Out of memory) with a description.
inline constexpr std::int64_t kMaxImageMapAreas = 10'000;
inline constexpr std::int64_t kMaxDataTableCells = 100'000;

// <map name="name"> with an <area> per bar, slice, point or 3-D solid, in
// pixels of the picture a render would give (at its Resolution), front-most
// first. Each area has the title and alt "row label, column label: value"
// and, when href is not empty, an href made from href with {row}, {column}
// and {value} replaced by the URL-encoded row label, column label and value.
// Every name and text is HTML-escaped.
std::string ImageMap(ObjectState& object, std::string_view name, std::string_view href);

// One or two plain sentences (no markup; control characters become spaces,
// long labels are cut) describing the chart: its kind and title, its rows
// and series, the value range with the Y title as unit, and the highest and
// lowest points. A page puts it into an attribute HTML-escaped, as any text.
std::string AltText(ObjectState& object);

// An HTML table of the chart's data: the title as caption, the series as
// column headers, the row labels as row headers, the values formatted as the
// value axis labels them and empty cells for missing values. Escaped.
std::string DataTable(ObjectState& object);

// Percent-encoding of every byte but the unreserved ones (RFC 3986).
std::string EncodeUrlComponent(std::string_view text);

}  // namespace qz::component
