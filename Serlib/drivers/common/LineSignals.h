#pragma once
// The line's modem signals and error events, as the driver operations name
// them; each platform's port maps them to its own bits.
namespace sdrv {

// Lines the driver sets.
enum class ModemLine { Dtr, Rts };
// Lines the device sets.
enum class ModemSignal { Cts, Dsr, CarrierDetect, Ring };
// What the line or the receiver may have met since it was asked last.
enum class LineEvent { Frame, Overrun, Parity, Break, RxOverflow };

}  // namespace sdrv
