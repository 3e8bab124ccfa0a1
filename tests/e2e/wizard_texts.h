#pragma once
// The wizard's page titles, buttons and shared result texts as the user
// reads them (GBK through -fexec-charset), for every program that steps
// through the wizard: the end-to-end cases, the demo driver and the
// download benchmark.
namespace e2e {

inline constexpr char kReadConfigPage[] = "读取配置";
inline constexpr char kServerPage[] = "选择服务器";
inline constexpr char kContentPage[] = "更新内容";
inline constexpr char kDownloadPage[] = "下载文件";
inline constexpr char kFinishPage[] = "更新完成,";

inline constexpr char kNext[] = "下一步(&N)";
inline constexpr char kPrev[] = "上一步(&L)";
inline constexpr char kFinish[] = "完成(&Q)";
inline constexpr char kRetry[] = "重试(&R)";
inline constexpr char kClose[] = "关闭(&Q)";

inline constexpr char kNewerVersion[] = "发现服务器上有更新版本！";
inline constexpr char kDownloadFailed[] = "文件下载失败，更新终止。";
// The download page's last row when a run after Retry completed the update.
inline constexpr char kUpdateComplete[] = "更新已完成。";

// How long one step of the wizard may take on a slow machine.
inline constexpr int kStepTimeoutMs = 60000;

}  // namespace e2e
