// Version and product strings of Update.exe, read by the VERSIONINFO block.
// Bump the four numbers together with the text form below.
#ifndef UPDATER_RESOURCES_VERSION_H_
#define UPDATER_RESOURCES_VERSION_H_

#define UPDATER_VERSION_MAJOR 1
#define UPDATER_VERSION_MINOR 0
#define UPDATER_VERSION_PATCH 0
#define UPDATER_VERSION_BUILD 0
#define UPDATER_VERSION_TEXT "1.0.0.0"

#define UPDATER_PRODUCT_NAME "Online Updater"
// Shown by the elevation prompt; a wide string so that it stays Chinese
// whatever code page the resource compiler assumes: "online update".
#define UPDATER_FILE_DESCRIPTION L"\x5728\x7EBF\x5347\x7EA7"
#define UPDATER_INTERNAL_NAME "Update"
#define UPDATER_ORIGINAL_FILENAME "Update.exe"

#endif  // UPDATER_RESOURCES_VERSION_H_
