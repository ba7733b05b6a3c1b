#include "host/chart_warmup.h"

#include <fontconfig/fontconfig.h>

#include <exception>
#include <memory>

#include "host/object_factory.h"
#include "host/page_engine.h"

namespace qz::host {
namespace {

enum class WarmState { NotAsked, Warming, Warm, Failed };

thread_local WarmState t_state = WarmState::NotAsked;
thread_local std::filesystem::path t_root;

bool TryWarm(const std::filesystem::path& root) noexcept {
  // A SendChart failure still leaves the chart activated and deactivated,
  // which is all the warm-up needs; a failure to create it does not.
  static constexpr std::string_view kWarmPage =
      "<% var c = Server.CreateObject('Quenza.QuenzaChart'); c.Height = 1; c.Width = 2;"
      " c.ChartTitle = 'Warm'; c.XTitle = 'X'; c.YTitle = 'Y'; c.Legends = 1;"
      " c.Rows(2); c.Columns(2); c.SetData(1); try { c.SendChart(); } catch (e) {} %>";
  PageOptions options;
  options.root = root;
  options.script_timeout_seconds = 30;
  options.create_object = CreateRegisteredObject;
  PageRequest request;
  request.path = "/quenza-warm-up.asp";
  try {
    return RunPageText(options, request, kWarmPage, root / "quenza-warm-up.asp").error.empty();
  } catch (const std::exception&) {
    return false;
  }
}

void Warm(const std::filesystem::path& root) {
  // Warming: the warm-up page itself must not start another warm-up.
  t_state = WarmState::Warming;
  t_state = TryWarm(root) ? WarmState::Warm : WarmState::Failed;
}

struct FcDeleter {
  void operator()(FcPattern* p) const noexcept { FcPatternDestroy(p); }
  void operator()(FcObjectSet* p) const noexcept { FcObjectSetDestroy(p); }
  void operator()(FcFontSet* p) const noexcept { FcFontSetDestroy(p); }
};

}  // namespace

void WarmChartWorker(const std::filesystem::path& root) {
  t_root = root;
  Warm(root);
}

void RetryChartWarmUp() {
  if (t_state == WarmState::Failed) Warm(t_root);
}

const std::vector<std::string>& RendererFontFamilies() {
  static const std::vector<std::string> families = {"Liberation Sans", "Liberation Serif",
                                                    "Liberation Mono", "DejaVu Sans",
                                                    "DejaVu Serif",    "DejaVu Sans Mono"};
  return families;
}

std::vector<std::string> FoundRendererFonts() {
  std::vector<std::string> found;
  if (!FcInit()) return found;
  for (const std::string& family : RendererFontFamilies()) {
    std::unique_ptr<FcPattern, FcDeleter> pattern(FcPatternCreate());
    std::unique_ptr<FcObjectSet, FcDeleter> objects(FcObjectSetBuild(FC_FAMILY, nullptr));
    if (!pattern || !objects) continue;
    FcPatternAddString(pattern.get(), FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
    std::unique_ptr<FcFontSet, FcDeleter> fonts(FcFontList(nullptr, pattern.get(), objects.get()));
    if (fonts && fonts->nfont > 0) found.push_back(family);
  }
  return found;
}

bool CheckRendererFonts(std::string* why) {
  if (!FoundRendererFonts().empty()) return true;
  if (why) {
    std::string names;
    for (const std::string& family : RendererFontFamilies())
      names += (names.empty() ? "" : ", ") + family;
    *why =
        "fontconfig finds none of the fonts the charts are drawn with (" + names +
        "); install fonts-liberation or fonts-dejavu-core, or charts would come out without text";
  }
  return false;
}

}  // namespace qz::host
