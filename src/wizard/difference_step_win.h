#pragma once
// The difference step of the download page, on the user-interface thread.
namespace wizard {

// Reads the server's file list, shows the steps as rows, and starts the
// download run, or reports completion at once when nothing differs.
void CompareFileList();

}  // namespace wizard
