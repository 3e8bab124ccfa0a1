#pragma once
// The end of a download run and of the program, as the window shows them.
namespace engine {
struct ApplyReport;
}

namespace wizard {

void OnDownloadComplete(bool success);
// The placing pass has ended; report belongs to the worker.
void OnApplyComplete(const engine::ApplyReport& report);

// The main window's destroyed handler: clean-up of the staging folder or the
// start of the replacement script, then the end of the message loop.
void ShutdownCleanup();

}  // namespace wizard
