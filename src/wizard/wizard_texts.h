#pragma once
// Every text the wizard shows. GBK bytes once compiled.

namespace wizard::texts {

inline constexpr char kMainTitle[] = "在线升级";
inline constexpr char kPrev[] = "上一步(&L)";
inline constexpr char kNext[] = "下一步(&N)";
inline constexpr char kRetry[] = "重试(&R)";
inline constexpr char kClose[] = "关闭(&Q)";
inline constexpr char kFinish[] = "完成(&Q)";

inline constexpr char kPageReadConfig[] = "读取配置";
inline constexpr char kPageChooseServer[] = "选择服务器";
inline constexpr char kPageUpdateContent[] = "更新内容";
inline constexpr char kPageDownload[] = "下载文件";
inline constexpr char kPageComplete[] = "更新完成,";

inline constexpr char kReadingConfig[] = "正在从服务器读取升级配置信息...";
inline constexpr char kReadConfigFailed[] = "读取服务器升级配置失败……";
inline constexpr char kConfigSignatureInvalid[] = "配置信息签名无效，已停止升级。";
inline constexpr char kConfigExpired[] = "配置信息已过期，已停止升级。";
inline constexpr char kConfigOlderVersion[] = "配置信息版本低于本地版本，已停止升级。";
inline constexpr char kFolderNameUnsupported[] = "程序所在目录的名称含有不支持的字符，已停止升级。";
inline constexpr char kIntroTemplate[] =
    "本程序为[XXX]的在线升级模块。\r\n\r\n如果您想退出此更新程序请单击“关闭”按钮，\r\n\r\n"
    "如果要继续更新请先选择适合您的更新服务器，\r\n\r\n然后再单击“下一步”按钮开始后续操作！";
inline constexpr char kFirewallNote[] =
    "    注：升级过程中开启防火墙可能会弹出提示，请选择放行。否则可能无法正常升级，如遇异常请暂时关闭防火墙。";
inline constexpr char kServerGroup[] = "升级服务器选择";
inline constexpr char kChooseServerFirst[] = "请先选择升级服务器。";
inline constexpr char kNoticeTitle[] = "提示";

inline constexpr char kCheckingVersion[] = "正在检查服务器是否有新版本…… |";
inline constexpr char kLocalVersionPrefix[] = "本地版本号：";
inline constexpr char kServerVersionFetching[] = "服务器版本号：获取中……";
inline constexpr char kContentGroup[] = "更新内容";
inline constexpr char kPleaseWait[] = "请稍候……";

inline constexpr char kGettingFileList[] = "获取文件更新列表……";
inline constexpr char kSpeedUnknown[] = "下载速度：N/A";
inline constexpr char kDownloadedUnknown[] = "已下载：N/A";
inline constexpr char kFileSizeUnknown[] = "文件大小：N/A";
inline constexpr char kColumnOperation[] = "操作名";
inline constexpr char kColumnProgress[] = "进度";
inline constexpr char kFullProgress[] = "100%";

inline constexpr char kServerVersionPrefix[] = "服务器版本号：";
inline constexpr char kServerVersionUnknown[] = "服务器版本号：N/A";
inline constexpr char kCheckingVersionPrefix[] = "正在检查服务器是否有新版本…… ";
inline constexpr char kLatestVersion[] = "恭喜！您使用的已经是最新版本。";
inline constexpr char kNewerVersionFound[] = "发现服务器上有更新版本！";
inline constexpr char kServerVersionFailed[] = "读取服务器版本失败！";
inline constexpr char kNetworkFailed[] = "网络连接失败！";
inline constexpr char kUpdateLogFailed[] = "获取更新日志失败……";
inline constexpr char kFileListSignatureInvalid[] = "文件列表签名无效！";
inline constexpr char kFileListMismatch[] = "文件列表与配置不符！";

inline constexpr char kComparingFiles[] = "正在对比文件差异……";
inline constexpr char kReadingLocalSignatures[] = "获取本地文件特征……";
inline constexpr char kComparedFiles[] = "对比文件差异……";
inline constexpr char kFilesToDownloadOpen[] = "共需下载[";
inline constexpr char kFilesToDownloadClose[] = "]个文件……";
inline constexpr char kDownloadingOpen[] = "下载文件[";
inline constexpr char kDownloadingClose[] = "]...";
inline constexpr char kZeroProgress[] = "0%";
inline constexpr char kPercent[] = "%";
inline constexpr char kDownloadedPrefix[] = "已下载：";
inline constexpr char kTotalSizePrefix[] = "总大小：";
inline constexpr char kSpeedPrefix[] = "下载速度：";
inline constexpr char kPerSecond[] = "/s";
inline constexpr char kRetryAnnouncement[] = "3秒后进行第[%d]次重试……";
inline constexpr char kConnectionTimedOut[] = "连接服务器超时……";
inline constexpr char kDownloadFailed[] = "文件下载失败，更新终止。";
inline constexpr char kUnwritableFiles[] = "存在不可写文件，升级失败。";
inline constexpr char kUnreplaceableFilePrefix[] = "无法替换的文件：";
inline constexpr char kHeldByOpen[] = "（正被 ";
inline constexpr char kHeldByClose[] = " 使用）";
inline constexpr char kUnreturnedFilePrefix[] = "未能恢复的文件：";
inline constexpr char kKeptAtOpen[] = "（原文件保存在 ";
inline constexpr char kKeptAtClose[] = "）";
inline constexpr char kFileCheckFailed[] = "文件校验失败，升级终止。";
inline constexpr char kUpdateComplete[] = "更新已完成。";

inline constexpr char kCompleteTemplate[] = "恭喜您，[XXX]更新已经顺利完成！\r\n\r\n感谢您对我们的支持。";
inline constexpr char kRunMainProgramInitial[] = "运行XXXXXXXXXXXX";
inline constexpr char kRunMainProgramPrefix[] = "运行 ";
inline constexpr char kTitleOpen[] = "[";
inline constexpr char kTitleClose[] = "]在线升级";
inline constexpr char kTemplateMark[] = "XXX";

}  // namespace wizard::texts
