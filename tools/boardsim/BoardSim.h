// Field-bus peers on the far end of a pseudo-terminal (or any descriptor): running-line display
// boards on the board bus and DCON I/O modules, written from the line rules, independent of the
// library's own codec. Each peer serves its descriptor from a thread until destroyed.
//
// Threads: every method may be called from any thread; one lock per peer serialises them.
#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace boardsim {

// Bitwise references: CRC-16/ARC (initial 0, reflected 0xA001) and CRC-8/MAXIM (reflected
// 0x8C, initial 0).
uint16_t RefCrc16Arc(const std::string& bytes);
uint8_t RefCrc8Maxim(const std::string& bytes);
// '~', bytes and CRC (low byte first) with 7C/7D/7E escaped as 7D, b ^ 0x20, then '|'.
std::string RefFrame(const std::string& header_and_data);

// Reads the descriptor on a thread and hands what came to OnBytes, and an empty call after a
// quiet gap of `gap_ms`.
class PeerThread {
  public:
    PeerThread(int fd, int gap_ms);
    virtual ~PeerThread();
    PeerThread(const PeerThread&) = delete;
    PeerThread& operator=(const PeerThread&) = delete;

  protected:
    // Starts the thread; the derived class calls it at the end of its constructor.
    void Start();
    // Stops the thread; the derived class calls it first in its destructor.
    void Stop();
    void Send(const std::string& bytes);
    virtual void OnBytes(const std::string& bytes) = 0;
    virtual void OnQuiet() {}

  private:
    void Run();
    int fd_;
    int gap_ms_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// What a board does with the frames it is sent.
struct BoardScript {
    int resends = 0;              // answer the next frames with command 5 this many times
    uint8_t inner_ack = 4;        // command answering an inner block
    int final_command = -1;       // command answering the last block; -1 echoes the request's
    bool bad_crc = false;         // the answer's CRC is off by one
    bool swap_addresses = false;  // the answer keeps the request's address order
    bool silent = false;          // no answer at all
    bool ok = true;               // "OK" to unframed bytes, else "NO"
    std::string garbage_first;    // bytes sent before an answer
    uint32_t turnaround_ms = 0;   // pause before every answer
};

// One received framed block.
struct BoardFrame {
    uint8_t dest0 = 0, dest1 = 0, command = 0, sequence = 0;
    std::string data;
};

class BoardBus final : public PeerThread {
  public:
    explicit BoardBus(int fd);
    ~BoardBus() override;

    // A board at `address` (destination bytes address, 1).
    void AddBoard(uint8_t address);
    void SetScript(uint8_t address, const BoardScript& script);
    // The frames every board received, in order.
    std::vector<BoardFrame> Frames();
    // The text of the last completed framed write to the board, and the last unframed block.
    std::string Text(uint8_t address);
    std::string Unframed();
    // Raw bytes that arrived, in order.
    std::string Raw();
    void Clear();

  private:
    void OnBytes(const std::string& bytes) override;
    void OnQuiet() override;
    void Frame(const std::string& body);
    void Answer(const BoardScript& s, uint8_t d0, uint8_t d1, uint8_t command, uint8_t seq,
                const std::string& data);

    std::mutex m_;
    std::map<uint8_t, BoardScript> boards_;
    std::map<uint8_t, std::string> pending_, texts_;
    std::vector<BoardFrame> frames_;
    std::string raw_, unframed_, collecting_;
    bool in_frame_ = false, escaped_ = false, raw_mode_ = false;
    std::string frame_;
    BoardScript unframed_script_;
};

// What a DCON module answers.
struct ModuleScript {
    uint8_t status = 0x3F;
    std::string fields[3] = {"+850.0", "+21.46", "+1.234"};  // 6 characters each
    bool refuse_values = false;  // '?' as the value answer's lead character (fields kept)
    bool refuse_short = false;   // the value answer is only "?AA\r"
    int answer_as = -1;          // answer with this address instead
    bool no_cr = false;          // the last character is not CR
    bool silent = false;
    bool lower_case = false;  // the status in lower-case hex
    int silent_count = 0;     // stay silent for this many commands, then answer
};

class DconBus final : public PeerThread {
  public:
    explicit DconBus(int fd);
    ~DconBus() override;

    void SetModule(uint8_t address, const ModuleScript& script);
    // Commands received (without CR), in order.
    std::vector<std::string> Commands();
    void Clear();

  private:
    void OnBytes(const std::string& bytes) override;
    void Command(const std::string& command);

    std::mutex m_;
    std::map<uint8_t, ModuleScript> modules_;
    std::vector<std::string> commands_;
    std::string line_;
};

}  // namespace boardsim
