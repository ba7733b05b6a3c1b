// Makes every page on a thread find the thread's chart engine in the same
// state, and checks that the fonts the chart renderer maps to are there.
//
// A chart object leaves the thread's engine in its base state when it is
// deactivated, which differs from the state of a fresh engine; so a worker
// creates, activates and deactivates one chart before its first page. Both
// quenza serve (on every worker) and quenza page (before its page) do so.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace qz::host {

// Runs a page that sends one small chart with the registered component, so
// that the thread's host form, chart engine and fonts exist before the first
// request. Failures (no registered component) only cost the warm-up, which
// RetryChartWarmUp tries again.
void WarmChartWorker(const std::filesystem::path& root);

// On a thread whose WarmChartWorker could not create its chart, tries the
// warm-up again (the page engine calls this before every page); nothing on a
// thread that is warm or was never warmed.
void RetryChartWarmUp();

// The font families the chart renderer maps the page's font names to.
const std::vector<std::string>& RendererFontFamilies();

// The families of RendererFontFamilies that fontconfig finds.
std::vector<std::string> FoundRendererFonts();

// True when fontconfig finds at least one of the renderer's families; else
// false, with a message for the operator in *why (without text the charts
// would come out blank).
bool CheckRendererFonts(std::string* why);

}  // namespace qz::host
