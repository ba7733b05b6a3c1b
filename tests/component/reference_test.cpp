// docs/reference.md against the component's type information: every member
// the interface offers has its row in the reference's table "The interface at
// a glance", in interface order, with the same kind and declared type, and a
// place in the detailed sections; the table lists nothing the interface
// lacks. A failure names the exact row to add or mend.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "component/quenza_chart.h"

namespace qz {
namespace {

struct Row {
  std::string id, name, kind, type;
  friend bool operator==(const Row&, const Row&) = default;
};

std::string Text(const Row& r) {
  return "| " + r.id + " | `" + r.name + "` | " + r.kind + " | " + r.type + " |";
}

// One row per dispatch identifier, as the reference lists members: a
// property by the type its read accessor answers (or its write accessor
// takes), a method by its parameter list and result.
std::vector<Row> RowsOfTypeInfo(const TypeInfo& info) {
  std::vector<Row> rows;
  std::map<DISPID, std::size_t> index;
  for (const MemberInfo& m : info.members) {
    auto [it, fresh] = index.emplace(m.id, rows.size());
    if (fresh) rows.push_back({std::to_string(m.id), std::string(m.name), "", ""});
    Row& row = rows[it->second];
    if (m.kind == MemberKind::Method) {
      std::string sig = "(";
      for (std::size_t i = 0; i < m.params.size(); ++i) {
        if (i > 0) sig += ", ";
        sig += m.params[i].pass == PassBy::Reference ? "ByRef " : "ByVal ";
        sig +=
            std::string(m.params[i].name) + " As " + std::string(ParamTypeName(m.params[i].type));
      }
      sig += ")";
      if (m.result != ParamType::None) sig += " As " + std::string(ParamTypeName(m.result));
      row.kind = "method";
      row.type = sig;
    } else {
      row.kind = "property";
      if (m.kind == MemberKind::PropertyGet) {
        row.type = std::string(ParamTypeName(m.result));
      } else if (row.type.empty() && m.kind == MemberKind::PropertyPut && !m.params.empty()) {
        row.type = std::string(ParamTypeName(m.params.back().type));
      }
    }
  }
  return rows;
}

std::string Trim(std::string s) {
  auto first = s.find_first_not_of(' ');
  auto last = s.find_last_not_of(' ');
  return first == std::string::npos ? std::string() : s.substr(first, last - first + 1);
}

std::vector<std::string> Cells(const std::string& line) {
  std::vector<std::string> cells;
  std::string cell;
  for (std::size_t i = 1; i < line.size(); ++i) {
    if (line[i] == '|') {
      cells.push_back(Trim(cell));
      cell.clear();
    } else {
      cell += line[i];
    }
  }
  return cells;
}

struct Reference {
  std::vector<Row> glance;  // the table's rows, in order
  std::string rest;         // every line after the table
};

Reference ReadReference() {
  std::ifstream in(QZ_SOURCE_DIR "/docs/reference.md");
  EXPECT_TRUE(in) << "docs/reference.md cannot be read";
  Reference ref;
  std::string line;
  enum { kBefore, kIn, kAfter } where = kBefore;
  while (std::getline(in, line)) {
    if (where == kBefore) {
      if (line == "## The interface at a glance") where = kIn;
      continue;
    }
    if (where == kIn && line.starts_with("## ")) where = kAfter;
    if (where == kIn && line.starts_with("| ") && !line.starts_with("| # ")) {
      std::vector<std::string> c = Cells(line);
      if (c.size() == 4 && c[1].size() > 2 && c[1].front() == '`' && c[1].back() == '`') {
        ref.glance.push_back({c[0], c[1].substr(1, c[1].size() - 2), c[2], c[3]});
      }
      continue;
    }
    if (where == kAfter) ref.rest += line + "\n";
  }
  return ref;
}

TEST(Reference, ListsEveryMemberOfTheInterfaceWithItsKindAndType) {
  const std::vector<Row> expected = RowsOfTypeInfo(QuenzaChartTypeInfo());
  const Reference ref = ReadReference();
  ASSERT_FALSE(ref.glance.empty())
      << "docs/reference.md has no table under \"## The interface at a glance\"";

  std::map<std::string, Row> documented;
  for (const Row& r : ref.glance) documented[r.name] = r;
  for (const Row& want : expected) {
    auto it = documented.find(want.name);
    if (it == documented.end()) {
      ADD_FAILURE() << "docs/reference.md, \"The interface at a glance\": no row for `" << want.name
                    << "`; add this row in dispatch order:\n"
                    << Text(want);
    } else if (!(it->second == want)) {
      ADD_FAILURE() << "docs/reference.md, \"The interface at a glance\": the row of `" << want.name
                    << "` reads\n"
                    << Text(it->second) << "\nbut the type information says\n"
                    << Text(want);
    }
  }
  std::map<std::string, Row> offered;
  for (const Row& r : expected) offered[r.name] = r;
  for (const Row& r : ref.glance) {
    if (!offered.contains(r.name)) {
      ADD_FAILURE() << "docs/reference.md lists `" << r.name
                    << "`, which the interface does not offer:\n"
                    << Text(r);
    }
  }
  // Interface order (checked once every row is right, so that a missing row
  // is reported as such and not as a row out of place).
  if (!HasFailure()) {
    EXPECT_EQ(ref.glance, expected) << "rows out of interface order";
  }
}

TEST(Reference, DescribesEveryMemberInTheDetailedSections) {
  const Reference ref = ReadReference();
  for (const Row& want : RowsOfTypeInfo(QuenzaChartTypeInfo())) {
    // A settings row "| n | `Name` | Type |" or a methods row "| `Name(...)` |".
    const std::string setting = "| " + want.id + " | `" + want.name + "` | " + want.type + " |";
    const std::string method = "| `" + want.name + "(";
    const bool found = want.kind == "property" ? ref.rest.find(setting) != std::string::npos
                                               : ref.rest.find(method) != std::string::npos;
    EXPECT_TRUE(found) << "docs/reference.md describes `" << want.name << "` nowhere; add "
                       << (want.kind == "property"
                               ? "a row to the table under \"## Settings\" starting\n" + setting
                               : "a row to a table under \"## Methods\" starting\n" + method +
                                     "...)` |");
  }
}

}  // namespace
}  // namespace qz
