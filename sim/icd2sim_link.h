// The ICD2's side of the serial protocol: wake handshake, command frames,
// data blocks, injected faults. It sees only DTR states and received bytes
// and produces the bytes to send; the pty and the event loop are elsewhere.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "icd2sim_model.h"

namespace icd2sim {

class Link {
  public:
    // Returns the baud rate the host's side of the line is set to right now.
    using SpeedProbe = std::function<unsigned()>;

    Link(const DeviceSettings& settings, Memory& memory, Transcript& transcript, SpeedProbe probe);

    // One DTR state reported by the host; a drop followed by a raise restarts
    // the link.
    void dtr(bool raised);
    // Bytes the host wrote, in order.
    void receive(const std::string& bytes);
    // What to send, piece by piece: the bytes, the speed in force when they
    // were produced, and the device's own time before them (microseconds).
    struct Output {
        std::string bytes;
        unsigned speed;
        unsigned long delay_us;
    };
    // The pieces produced since the last call.
    std::vector<Output> take_output();
    // The speed in force now.
    unsigned speed() const { return speed_; }
    // True once a "vanish" fault has fired: the device is gone.
    bool vanished() const { return vanished_; }

  private:
    enum class State { asleep, wait_wake, frames, block_in };

    struct Command {
        std::string text;
        std::string code;
        unsigned frame_number = 0;
        unsigned code_occurrence = 0;
    };

    struct PendingWrite {
        Command command;
        SpaceId space = kProg;
        uint32_t address = 0;
        uint32_t count = 0;
        unsigned digits_per_element = 4;
    };

    void restart();
    void set_speed(unsigned speed);
    void noise(uint8_t byte);
    void wake(uint8_t byte);
    void frame_byte(uint8_t byte);
    void bad_frame(const std::string& reason);
    void complete_frame();
    void dispatch(const std::string& text);
    void block_byte(uint8_t byte);
    void complete_block();
    void abandon_block(const std::string& reason);

    void block_read(const Command& command, SpaceId space, uint32_t address, uint32_t count,
                    bool bytes);
    void block_write(const Command& command, SpaceId space, uint32_t address, uint32_t count,
                     bool bytes);
    uint16_t read_cell(const std::string& code, SpaceId space, uint32_t address,
                       bool& outside) const;

    std::vector<const Fault*> faults_at(const Command& command, Phase phase) const;
    static std::string fault_point(const Command& command, Phase phase);
    // Adds the fault's name to kinds and its "FAULT" line to the transcript.
    void note_fault(const Fault& fault, const Command& command, Phase phase, std::string& kinds);
    // Handles silence and vanish at a fault point; false when nothing may be
    // sent from here on.
    bool may_send(const Command& command, Phase phase, const std::vector<const Fault*>& faults,
                  const std::string& what);
    bool respond(const Command& command, Phase phase, const std::string& body);
    unsigned long device_time(const Command& command, Phase phase) const;
    bool send_block(const Command& command, const std::string& digits, uint32_t count);

    const DeviceSettings& settings_;
    Memory& memory_;
    Transcript& transcript_;
    SpeedProbe probe_;

    State state_ = State::asleep;
    bool dtr_ = true;
    unsigned attempt_ = 0;
    unsigned speed_ = 19200;
    unsigned vdd_;
    int family_ = -1;
    bool silenced_ = false;
    bool vanished_ = false;

    std::string frame_;
    size_t frame_length_ = 0;
    std::string block_;
    PendingWrite pending_;

    unsigned frames_accepted_ = 0;
    std::map<std::string, unsigned> code_counts_;
    void emit(const std::string& bytes, unsigned long delay_us = 0);

    std::vector<Output> output_;
};

}  // namespace icd2sim
