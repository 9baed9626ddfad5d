#pragma once
// Export names: every entry point is exported as <VELMAR_PREFIX_TOKEN><Name> (for example orvane_GetVersion),
// the prefix being a build parameter (-DVELMAR_PREFIX_TOKEN=orvane_) so that one source builds the
// library under any product prefix. Variant builds leave entry points out with:
//   VELMAR_WITHOUT_PROCESS_INFO   no VELMAR_GetProcessInfo (the host then derives the prefix from the file
//   name) VELMAR_WITHOUT_WEBSERVER_STOP no Webserver_Stop and Webserver_Status VELMAR_WITHOUT_PLANAR_MIX no
//   StereoToMono_Planar VELMAR_WITHOUT_INIT_PROCESS3  no InitProcess3 VELMAR_SAMPLE_RATE=<Hz>       the
//   reported sample rate (default 48000)
#ifndef VELMAR_PREFIX_TOKEN
#define VELMAR_PREFIX_TOKEN orvane_
#endif
#ifndef VELMAR_SAMPLE_RATE
#define VELMAR_SAMPLE_RATE 48000
#endif

#define VELMAR_PASTE_INNER(a, b) a##b
#define VELMAR_PASTE(a, b) VELMAR_PASTE_INNER(a, b)
#define VELMAR_TEXT_INNER(a) #a
#define VELMAR_TEXT(a) VELMAR_TEXT_INNER(a)

#define VELMAR_EXPORT_NAME(name) VELMAR_PASTE(VELMAR_PREFIX_TOKEN, name)
#define VELMAR_PREFIX_TEXT VELMAR_TEXT(VELMAR_PREFIX_TOKEN)

#if defined(_WIN32)
#define VELMAR_EXPORT extern "C" __declspec(dllexport)
#else
#define VELMAR_EXPORT extern "C" __attribute__((visibility("default")))
#endif
