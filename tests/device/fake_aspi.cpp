#include "fake_aspi.h"

#include <chrono>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace korva::test {

namespace {

FakeAspi *current = nullptr;

// Signals a request's completion event the way a module does: a Win32 event, or a counted
// write to an eventfd.
void SignalCompletion(TKorvaPostProc event) {
#if defined(_WIN32)
  SetEvent(static_cast<HANDLE>(event));
#else
  const uint64_t one = 1;
  (void)!write(event, &one, sizeof one);
#endif
}

void Execute(FakeAspi *aspi, TSRB_ExecSCSICmd *srb) {
  auto it = aspi->devices.find({srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun});
  if (it == aspi->devices.end()) {
    srb->SRB_HaStat = 0x11; // selection timeout
    srb->SRB_Status = SS_ERR;
    return;
  }
  uint8_t cdb[16];
  std::memcpy(cdb, srb->CDBByte, 16);
  Reply r = it->second->Answer(cdb, srb->SRB_BufLen);
  if ((srb->SRB_Flags & SRB_DIR_IN) && srb->SRB_BufPointer != nullptr) {
    const size_t n = std::min<size_t>(r.data.size(), srb->SRB_BufLen);
    if (n) std::memcpy(srb->SRB_BufPointer, r.data.data(), n);
  }
  if (r.status == 0) {
    srb->SRB_Status = SS_COMP;
  } else {
    srb->SRB_TargStat = r.status;
    const size_t n = std::min<size_t>(r.sense.size(), srb->SRB_SenseLen);
    if (n) std::memcpy(srb->SenseArea, r.sense.data(), n);
    srb->SRB_Status = SS_ERR;
  }
}

uint32_t Support() {
  return current->support;
}

uint32_t Send(void *block) {
  FakeAspi *aspi = current;
  auto *head = static_cast<uint8_t *>(block);
  switch (head[0]) {
  case SC_HA_INQUIRY: {
    auto *srb = static_cast<TSRB_HAInquiry *>(block);
    srb->HA_Count = aspi->adapters;
    srb->SRB_Status = SS_COMP;
    return SS_COMP;
  }
  case SC_GET_DISK_INFO: {
    auto *srb = static_cast<TSRB_GetDiskInfo *>(block);
    auto it = aspi->drive_numbers.find({srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun});
    if (it == aspi->drive_numbers.end()) {
      srb->SRB_Status = SS_ERR;
      return SS_ERR;
    }
    srb->SRB_Int13HDriveInfo = static_cast<uint8_t>(it->second);
    srb->SRB_Status = SS_COMP;
    return SS_COMP;
  }
  case SC_EXEC_SCSI_CMD: {
    auto *srb = static_cast<TSRB_ExecSCSICmd *>(block);
    aspi->sent.push_back({srb->SRB_Cmd, srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun,
                          srb->SRB_Flags, srb->SRB_SenseLen,
                          std::vector<uint8_t>(srb->CDBByte, srb->CDBByte + srb->SRB_CDBLen)});
    if (srb->CDBByte[0] == 0x12) ++aspi->inquiries;
    if (!aspi->pending) {
      Execute(aspi, srb);
      return srb->SRB_Status;
    }
    srb->SRB_Status = SS_PENDING;
    const bool hold = aspi->hold;
    aspi->workers.emplace_back([aspi, srb, hold] {
      if (hold) {
        std::unique_lock<std::mutex> lock(aspi->gate_mutex);
        aspi->gate.wait(lock, [aspi] { return aspi->released; });
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      Execute(aspi, srb);
      SignalCompletion(srb->SRB_PostProc);
    });
    return SS_PENDING;
  }
  case SC_ABORT_SRB:
    ++aspi->aborts;
    head[1] = SS_COMP;
    return SS_COMP;
  default:
    head[1] = SS_ERR;
    return SS_ERR;
  }
}

} // namespace

FakeAspi::FakeAspi() {
  current = this;
}

FakeAspi::~FakeAspi() {
  Release();
  current = nullptr;
}

void FakeAspi::Release() {
  {
    std::lock_guard<std::mutex> lock(gate_mutex);
    released = true;
  }
  gate.notify_all();
  for (auto &t : workers)
    if (t.joinable()) t.join();
}

void FakeAspi::Install(FakePlatform &platform, const std::string &name, bool with_support,
                       bool with_send) {
  auto &symbols = platform.modules[name];
  if (with_support) symbols["GetASPI32SupportInfo"] = reinterpret_cast<void *>(&Support);
  if (with_send) symbols["SendASPI32Command"] = reinterpret_cast<void *>(&Send);
}

} // namespace korva::test
