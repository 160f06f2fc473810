#include "usbbus/key_fault_names.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <set>

#include "sim/key_wire.h"

namespace nevrik::usbbus {

namespace {

enum class AnswerKind { Any, WithData, Empty };

struct CommandName {
  const char* name;
  std::uint8_t code;
  AnswerKind answer;  // what its answer normally carries
};

constexpr CommandName Commands[] = {
    {"query", simkey::CmdQuery, AnswerKind::WithData},
    {"handshake", simkey::CmdHandshake, AnswerKind::WithData},
    {"setup", simkey::CmdSetup, AnswerKind::Empty},
    {"write", simkey::CmdWrite, AnswerKind::Empty},
    {"hash", simkey::CmdGetHash, AnswerKind::WithData},
    {"deploy", simkey::CmdDeploy, AnswerKind::Empty},
    {"cancel", simkey::CmdCancelUpdate, AnswerKind::Empty},
};

void AddAnswerFault(SimKey& key, ResponseFault fault) {
  key.Firmware().Faults().responses.push_back(std::move(fault));
}

void AddFrameFault(SimKey& key, std::uint8_t command, ResponseFaultKind kind) {
  AddAnswerFault(key, ResponseFault::Of(FaultTrigger::OnCommand(command), kind));
}

struct EffectName {
  const char* name;
  AnswerKind appliesTo;
  const char* meaning;
  void (*apply)(SimKey& key, std::uint8_t command);
};

constexpr EffectName Effects[] = {
    {"refused", AnswerKind::Any, "answers status 8 (OperationDenied); the request has no effect",
     [](SimKey& key, std::uint8_t command) {
       AddAnswerFault(key, ResponseFault::Status(
                               FaultTrigger::OnCommand(command),
                               static_cast<std::uint8_t>(simkey::KeyStatus::OperationDenied)));
     }},
    {"stalled", AnswerKind::Any, "halts its bulk IN endpoint instead of answering",
     [](SimKey& key, std::uint8_t command) {
       key.UsbFaults().stallIn.push_back(InStallFault{FaultTrigger::OnCommand(command), 0});
     }},
    {"no-answer", AnswerKind::Any, "never answers",
     [](SimKey& key, std::uint8_t command) {
       AddFrameFault(key, command, ResponseFaultKind::NoResponse);
     }},
    {"wrong-magic", AnswerKind::Any, "the answer's magic reads \"NVKX\"",
     [](SimKey& key, std::uint8_t command) {
       AddFrameFault(key, command, ResponseFaultKind::WrongMagic);
     }},
    {"wrong-sequence", AnswerKind::Any,
     "the answer carries the sequence byte one behind the request's",
     [](SimKey& key, std::uint8_t command) {
       AddFrameFault(key, command, ResponseFaultKind::WrongSequence);
     }},
    {"header-only", AnswerKind::Any, "the answer ends after 6 header bytes",
     [](SimKey& key, std::uint8_t command) {
       AddFrameFault(key, command, ResponseFaultKind::HeaderOnly);
     }},
    {"short-payload", AnswerKind::Any, "the header announces one payload byte more than follows",
     [](SimKey& key, std::uint8_t command) {
       AddFrameFault(key, command, ResponseFaultKind::ShortPayload);
     }},
    {"corrupted", AnswerKind::WithData,
     "bit 0 of the first payload byte flipped (hash-corrupted: a wrong hash)",
     [](SimKey& key, std::uint8_t command) {
       AddFrameFault(key, command, ResponseFaultKind::CorruptPayload);
     }},
    {"empty", AnswerKind::WithData, "no payload bytes at all",
     [](SimKey& key, std::uint8_t command) {
       AddAnswerFault(key, ResponseFault::PayloadSize(FaultTrigger::OnCommand(command), 0));
     }},
    {"with-data", AnswerKind::Empty, "one payload byte",
     [](SimKey& key, std::uint8_t command) {
       AddAnswerFault(key, ResponseFault::PayloadSize(FaultTrigger::OnCommand(command), 1));
     }},
};

std::set<std::uint8_t> BulkEndpoints(const SimKey& key) {
  std::set<std::uint8_t> bulk;
  for (const SimEndpoint& endpoint : key.UsbConfig().ActiveEndpoints()) {
    if (endpoint.type == SimEndpointType::Bulk) {
      bulk.insert(endpoint.address);
    }
  }
  return bulk;
}

struct KeyWideFault {
  const char* name;
  const char* meaning;
  void (*apply)(SimKey& key);
};

constexpr KeyWideFault KeyWideFaults[] = {
    {"handshake-bad-key", "every handshake answers a public key that is not on the curve",
     [](SimKey& key) {
       key.Firmware().Faults().invalidKeyHandshakes = std::numeric_limits<unsigned>::max();
       key.Firmware().Faults().invalidKeyKind = InvalidKeyKind::NotOnCurve;
     }},
    {"sync-refused", "the synchronisation class request is refused with a stall",
     [](SimKey& key) { key.UsbFaults().stallClassRequest = true; }},
    {"sync-never-halts", "the class request halts no endpoint",
     [](SimKey& key) { key.UsbFaults().neverHalt = BulkEndpoints(key); }},
    {"sync-clear-refused", "clearing an endpoint halt is refused with a stall",
     [](SimKey& key) { key.UsbFaults().refuseClearHalt = BulkEndpoints(key); }},
    {"sync-halt-sticks", "clearing an endpoint halt is accepted, but the halt stays",
     [](SimKey& key) { key.UsbFaults().haltSticks = BulkEndpoints(key); }},
    {"sync-check-wrong", "the check query after the synchronisation answers 2, not 1",
     [](SimKey& key) { key.Firmware().Faults().checkValue = 2; }},
    {"status-busy", "the status query answers status 3 (Busy); the check query does not",
     [](SimKey& key) { key.Firmware().Faults().statusBusy = true; }},
};

bool Applies(const EffectName& effect, const CommandName& command) {
  return effect.appliesTo == AnswerKind::Any || effect.appliesTo == command.answer;
}

}  // namespace

std::optional<KeyFaultSwitch> FindKeyFault(std::string_view name) {
  for (const KeyWideFault& fault : KeyWideFaults) {
    if (name == fault.name) {
      return KeyFaultSwitch(fault.apply);
    }
  }
  for (const CommandName& command : Commands) {
    const std::string prefix = std::string(command.name) + "-";
    if (!name.starts_with(prefix)) {
      continue;
    }
    for (const EffectName& effect : Effects) {
      if (name.substr(prefix.size()) == effect.name && Applies(effect, command)) {
        const std::uint8_t code = command.code;
        const auto apply = effect.apply;
        return KeyFaultSwitch([apply, code](SimKey& key) { apply(key, code); });
      }
    }
  }
  return std::nullopt;
}

std::string KeyFaultNamesHelp() {
  const auto line = [](std::string_view name, std::string_view meaning) {
    std::string text = "  " + std::string(name);
    text.resize(std::max<std::size_t>(text.size() + 1, 22), ' ');
    return text + std::string(meaning) + "\n";
  };
  const auto commandsWith = [](AnswerKind kind) {
    std::string names;
    for (const CommandName& command : Commands) {
      if (command.answer == kind) {
        names += (names.empty() ? "" : ", ") + std::string(command.name);
      }
    }
    return names;
  };

  std::string help = "COMMAND-EFFECT: the key's answer to every request of COMMAND, one of\n";
  help += line(commandsWith(AnswerKind::WithData), "(answers that carry data)");
  help += line(commandsWith(AnswerKind::Empty), "(empty answers)");
  help += "and EFFECT one of\n";
  for (const EffectName& effect : Effects) {
    const std::string only =
        effect.appliesTo == AnswerKind::Any ? "" : "(" + commandsWith(effect.appliesTo) + ") ";
    help += line(effect.name, only + effect.meaning);
  }
  help += "or one of\n";
  for (const KeyWideFault& fault : KeyWideFaults) {
    help += line(fault.name, fault.meaning);
  }
  return help;
}

}  // namespace nevrik::usbbus
