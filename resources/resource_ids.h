// Identifiers of the resources embedded in Update.exe. Shared by the resource
// script and the C++ code, so it holds preprocessor definitions only.
#ifndef UPDATER_RESOURCES_RESOURCE_IDS_H_
#define UPDATER_RESOURCES_RESOURCE_IDS_H_

// The window icon; the number is fixed because LoadIcon asks for it by value.
#define IDI_APP 129

// Banner pictures, one per wizard page, stored as complete BMP files
// (RCDATA) because they are handed whole to the picture loader.
#define IDR_BANNER_WELCOME 201
#define IDR_BANNER_SERVER 202
#define IDR_BANNER_CONTENT 203
#define IDR_BANNER_DOWNLOAD 204
#define IDR_BANNER_FINISH 205

// Page n (1..5) uses IDR_BANNER_FIRST + n - 1.
#define IDR_BANNER_FIRST IDR_BANNER_WELCOME
#define BANNER_COUNT 5

// The vendor's public keys (PEM text), only in an updater built with them:
// key n (1..PUBLIC_KEY_COUNT_MAX) is IDR_PUBLIC_KEY_FIRST + n - 1. The build
// reads the limit from here.
#define IDR_PUBLIC_KEY_FIRST 301
#define PUBLIC_KEY_COUNT_MAX 4

#endif  // UPDATER_RESOURCES_RESOURCE_IDS_H_
