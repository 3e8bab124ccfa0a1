#pragma once
// The update-content page: the spinner while the file list is fetched, and
// what the page shows once the file-list worker has reported.
namespace wizard {

// Starts the spinner and the file-list worker for the chosen server.
void StartVersionCheck();
void OnFileListReceived(bool success);

}  // namespace wizard
