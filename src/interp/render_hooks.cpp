#include "interp/render_hooks.h"

#include <atomic>

namespace {

struct RenderHookSlots {
  std::atomic<void (*)()> guiCursor{nullptr};
  std::atomic<bool (*)()> mouseLookActive{nullptr};
  std::atomic<decltype(RenderHooks::mouseLookDelta)> mouseLookDelta{nullptr};
  std::atomic<decltype(RenderHooks::attachCameraToSkeleton)> attach{nullptr};
  std::atomic<decltype(RenderHooks::entityApply)> entityApply{nullptr};
  std::atomic<void (*)()> entityRestore{nullptr};
  std::atomic<decltype(RenderHooks::particleApply)> particleApply{nullptr};
  std::atomic<void (*)()> particleRestore{nullptr};
};

RenderHookSlots g_hooks;

template <typename Fn>
Fn Load(const std::atomic<Fn>& slot) {
  return slot.load(std::memory_order_acquire);
}

template <typename Fn>
void Store(std::atomic<Fn>& slot, Fn fn) {
  slot.store(fn, std::memory_order_release);
}

}  // namespace

void SetRenderHooks(RenderHookOwner owner, const RenderHooks& hooks) {
  switch (owner) {
    case RenderHookOwner::GuiCursor:
      Store(g_hooks.guiCursor, hooks.guiCursor);
      break;
    case RenderHookOwner::MouseLook:
      // The delta first: a frame that sees the preview active must find its delta.
      Store(g_hooks.mouseLookDelta, hooks.mouseLookDelta);
      Store(g_hooks.mouseLookActive, hooks.mouseLookActive);
      break;
    case RenderHookOwner::Skeleton:
      Store(g_hooks.attach, hooks.attachCameraToSkeleton);
      break;
    case RenderHookOwner::Entities:
      Store(g_hooks.entityRestore, hooks.entityRestore);
      Store(g_hooks.entityApply, hooks.entityApply);
      break;
    case RenderHookOwner::Particles:
      Store(g_hooks.particleRestore, hooks.particleRestore);
      Store(g_hooks.particleApply, hooks.particleApply);
      break;
    case RenderHookOwner::Count:
      break;
  }
}

RenderHooks LoadRenderHooks() {
  RenderHooks hooks;
  hooks.guiCursor = Load(g_hooks.guiCursor);
  hooks.mouseLookActive = Load(g_hooks.mouseLookActive);
  hooks.mouseLookDelta = Load(g_hooks.mouseLookDelta);
  if (hooks.mouseLookDelta == nullptr) hooks.mouseLookActive = nullptr;
  hooks.attachCameraToSkeleton = Load(g_hooks.attach);
  hooks.entityApply = Load(g_hooks.entityApply);
  hooks.entityRestore = Load(g_hooks.entityRestore);
  if (hooks.entityRestore == nullptr) hooks.entityApply = nullptr;
  hooks.particleApply = Load(g_hooks.particleApply);
  hooks.particleRestore = Load(g_hooks.particleRestore);
  if (hooks.particleRestore == nullptr) hooks.particleApply = nullptr;
  return hooks;
}
