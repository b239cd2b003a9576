/* What the QuarrenVelt.exe shell and its world DLL share. */
#ifndef QV_HOST_H
#define QV_HOST_H

#include <stdint.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QV_SITE_COUNT 25
#define QV_SITE_MAX_BYTES 24

/* One supported build: its identity and where its host functions and globals are. */
typedef struct QvHostBuild {
  const wchar_t* label;
  uint32_t timestamp;
  uint32_t image_size;
  uint32_t site_rva[QV_SITE_COUNT];
  uint8_t site_length[QV_SITE_COUNT];
  uint8_t site_bytes[QV_SITE_COUNT][QV_SITE_MAX_BYTES];
  uint32_t clock_start_rva;       /* u64 the scheduler clock subtracts */
  uint32_t newton_user_data_rva;  /* slot read by the Newton transform callback */
  uint32_t name_table_rva;        /* u64 read by the entity-name resolver */
  uint32_t input_global_rva;      /* pointer to the input settings object */
} QvHostBuild;

/* Calls the world makes through the exe, so they go through the exe's import slots. */
typedef struct QvHostServices {
  void (*present)(void* window);
  uint32_t (*get_relative_mouse_state)(int* x, int* y);
  void (*pump_events)(void);
  int (*get_relative_mouse_mode)(void);
} QvHostServices;

#ifdef QV_WORLD_BUILD
#define QV_WORLD_API __declspec(dllexport)
#else
#define QV_WORLD_API __declspec(dllimport)
#endif

QV_WORLD_API int QvGameMain(const QvHostBuild* build, const QvHostServices* services);

#ifdef __cplusplus
}
#endif

#endif
