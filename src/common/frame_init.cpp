#include "common/frame_layout.h"

namespace velkaro {

void InitFrame(std::uint8_t* frame) {
  std::memset(frame, 0, kFrameSize);
  for (const FrameField& f : kFrameFields) {
    if (f.start == 0.0) continue;  // already zero; texts start empty
    for (std::size_t i = 0; i < f.count; ++i) {
      std::uint8_t* element = frame + f.offset + ElementWidth(f) * i;
      switch (f.type) {
        case FrameType::kF64:
          EncodeF64(element, f.start);
          break;
        case FrameType::kI32:
          EncodeI32(element, static_cast<std::int32_t>(f.start));
          break;
        case FrameType::kU8:
          *element = static_cast<std::uint8_t>(f.start);
          break;
        case FrameType::kText:
          break;
      }
    }
  }
}

}  // namespace velkaro
