// The channels of a running device: cedev's commands talk to the device's keeper over
// a unix socket in the device's records (which no program inside can see), and the
// keeper to the resident helper over two pipes. Every message is framed: its length,
// then its fields, each as a length and its bytes; a message may carry descriptors.
// Lengths are 4 bytes, little-endian. Nothing read is trusted beyond its frame: a
// frame longer than the reader takes is refused.
#ifndef CEDEV_WIRE_H
#define CEDEV_WIRE_H

#include "frame.h"

#include <cstdint>
#include <string>
#include <vector>

struct Message {
    std::vector<std::string> fields;
    std::vector<int> fds;  // received descriptors belong to the receiver

    const std::string &operator[](size_t i) const;
    size_t size() const { return fields.size(); }
};

// The largest message either side takes: a screenshot or a whole registry export
// fits with room to spare.
constexpr uint32_t kMaxMessage = 256u << 20;


// Writes N bytes whole to a pipe or file, through interruptions; false if it took no
// more (the other end went away, the disk is full).
bool WriteAll(int fd, const char *p, size_t n);

// Sends a message whole (its descriptors with its first byte); false if the other end
// went away.
bool SendMessage(int socket, const Message &m);

// Reads messages from a stream, through poll: Feed() what arrives, Take() each whole
// message.
class MessageReader {
public:
    // Reads what is there (one recvmsg); false at the end of the stream or on an error.
    bool Feed(int socket);
    // The next whole message; false when none is whole yet. Throws nothing: a frame
    // over kMaxMessage marks the reader broken.
    bool Take(Message *m);
    bool Broken() const { return broken_; }

private:
    std::string buffer_;
    std::vector<int> fds_;
    bool broken_ = false;
};

// Blocking helpers for a command: send, then wait up to timeoutMs (negative: no bound)
// for the next message. False when the other end went away or the time ran out
// (*timedOut says which).
bool ReceiveMessage(int socket, MessageReader *reader, Message *m, int timeoutMs, bool *timedOut = nullptr);

void CloseAll(std::vector<int> *fds);

#endif
