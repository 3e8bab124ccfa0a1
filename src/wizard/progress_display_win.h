#pragma once
// The download page's handlers of the worker's reports.
#include <windows.h>

namespace engine {
struct TransferProgress;
}

namespace wizard {

void OnDownloadFileStart(int index);
// record is the worker's; it is copied before use.
void OnDownloadProgress(int index, const engine::TransferProgress* record);
// An attempt continues kept bytes: shows where it starts, and counts the
// speed from there.
void OnDownloadResumed(int index, const engine::TransferProgress* record);
void OnDownloadFileEnd(int index, bool success);
void OnDownLoadTimeOut();
void OnDownLoadTryAgain(int attempt);

// Next becomes Retry, enabled.
void OfferRetry();

}  // namespace wizard
