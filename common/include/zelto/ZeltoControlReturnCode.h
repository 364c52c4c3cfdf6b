#pragma once

namespace zelto {

//! Answer of both libraries' update() to one sample.
//! The numeric values are part of the interface: a host may compare against them.
enum ZeltoControlReturnCode : int {
  Ok = 0,       //!< sample accepted (compensator: output holds the compensated wrench)
  Pending = 1,  //!< compensator only: a deferred tare waits, the output was zeroed
  Error = 5,    //!< sample not processed; an ERROR line says why
};

}  // namespace zelto
