// What the user sees of the runner's state: the text of every label and
// button, which controls are visible and enabled, and the progress card.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "engine/contract.h"

namespace pelorin::setup {

// The product's web domain, shown in the footer and after an uninstall.
std::wstring_view ProductWebHost() noexcept;

// The caption of a stage; empty for values outside the known stages.
std::wstring_view StageLabel(Stage stage) noexcept;

// The download amounts of a report, e.g. "5.0 из 64.2 МиБ", "Получено 1.5 МиБ".
std::wstring DownloadAmountText(std::uint64_t done, std::uint64_t total);

// Bar position 0..1000 of `done` out of a non-zero `total`.
int ProgressPosition(std::uint64_t done, std::uint64_t total) noexcept;

// Applies the whole screen of Ui() to the controls, then lays them out.
void RefreshScreen();

// Renders one progress report (Running screen only).
void ShowProgress(const Progress& report);

// Sets the text of `control` only when it differs from the current one.
void SetTextIfChanged(HWND control, std::wstring_view text);

// Switches the progress bar between marquee and position mode.
void SetProgressMarquee(bool on);

}  // namespace pelorin::setup
