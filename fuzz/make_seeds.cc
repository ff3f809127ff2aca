// Writes the seed corpus of every fuzz target under the folder named by its
// argument: one well-formed message of each kind a target reads, and a few
// refused ones, so that each run starts past the first checks. The layouts
// come from the library's own headers.
#include <sys/stat.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "client/comm_dir_messages.h"
#include "ipc/comm_dir_ipc_envelope.h"
#include "platform/emw_gen_ipc.h"

namespace {

using bytes = std::vector<char>;
using velmarosta::COMM_DIR_IPC_ENVELOPE_HEAD;

void put_word(bytes& b, std::size_t offset, UINT word) {
  if (b.size() < offset + sizeof word) b.resize(offset + sizeof word, 0);
  std::memcpy(b.data() + offset, &word, sizeof word);
}

void put_text(bytes& b, std::size_t offset, const std::string& text) {
  if (b.size() < offset + text.size()) b.resize(offset + text.size(), 0);
  std::memcpy(b.data() + offset, text.data(), text.size());
}

// What a sender puts on the wire: no trailing zeros, but the 128-byte head.
bytes trimmed(bytes b) {
  while (b.size() > 128 && b.back() == 0) b.pop_back();
  if (b.size() < 128) b.resize(128, 0);
  return b;
}

// An envelope head: `length` is the length word, `kind` the platform's
// marker, then the routing fields.
bytes envelope(UINT length, UINT kind, UINT replied, UINT type, const std::string& reply_server) {
  bytes b(sizeof(COMM_DIR_IPC_ENVELOPE_HEAD), 0);
  put_word(b, GEN_IPC_HDR_LENGTH_OFFSET, length);
  put_word(b, GEN_IPC_HDR_KIND_OFFSET, kind);
  put_word(b, offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, event_sem_id), 5);
  put_word(b, offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, replied), replied);
  put_word(b, offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, type), type);
  put_text(b, offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, reply_server_name), reply_server);
  put_word(b, offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, reply_buffer), 1);
  put_word(b, offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, reply_buffer_size), velmarosta::COMM_DIR_IPC_REPLY_SIZE);
  return b;
}

bytes with_steering(char steer, const bytes& message) {
  bytes b{steer};
  b.insert(b.end(), message.begin(), message.end());
  return b;
}

void write_seeds(const std::string& root, const std::string& target, const std::vector<bytes>& seeds) {
  std::string folder = root + "/" + target;
  ::mkdir(folder.c_str(), 0755);
  for (std::size_t i = 0; i < seeds.size(); ++i) {
    std::string path = folder + "/seed-" + std::to_string(i);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
      std::perror(path.c_str());
      continue;
    }
    std::fwrite(seeds[i].data(), 1, seeds[i].size(), f);
    std::fclose(f);
  }
}

constexpr UINT kRequestSize = velmarosta::COMM_DIR_IPC_REQUEST_SIZE;
constexpr UINT kReplySize = velmarosta::COMM_DIR_IPC_REPLY_SIZE;
const std::string kReplyServer = "utcp:DIR_CS_fuzz";

bytes reply_message(RETCODE result) {
  bytes b = envelope(kReplySize, GEN_IPC_KIND_REPLY, 1, velmarosta::COMM_DIR_FUNC_GET_FIRST_ENTRY, kReplyServer);
  put_word(b, velmarosta::COMM_DIR_IPC_REPLY_PAYLOAD_OFFSET + 12, static_cast<UINT>(result));
  return trimmed(b);
}

void posix_datagram(const std::string& root) {
  bytes reply = reply_message(0);
  bytes short_one(64, 0);
  put_word(short_one, GEN_IPC_HDR_LENGTH_OFFSET, 64);
  bytes over = trimmed(envelope(100, 0, 0, 0, kReplyServer));  // longer than its length word
  write_seeds(root, "fuzz_posix_datagram",
              {with_steering(1, reply), with_steering(2, reply), with_steering(0, reply), with_steering(3, reply),
               with_steering(4, reply), with_steering(5, reply), with_steering(9, reply),
               with_steering(1, short_one), with_steering(1, over)});
}

void dispatch_client(const std::string& root) {
  bytes reply = reply_message(0x20);
  bytes request = trimmed(envelope(kReplySize, GEN_IPC_KIND_REQUEST, 0, 0, kReplyServer));
  bytes short_reply = trimmed(envelope(1000, GEN_IPC_KIND_REPLY, 1, 0, kReplyServer));
  write_seeds(root, "fuzz_dispatch_client",
              {with_steering(7, reply), with_steering(0, reply), with_steering(2, request),
               with_steering(0, request), with_steering(3, short_reply)});
}

bytes callback_request(UINT type, UINT argument) {
  bytes b = envelope(kRequestSize, GEN_IPC_KIND_REQUEST, 0, type, kReplyServer);
  put_word(b, 196, argument);
  put_word(b, 200, 1);
  return trimmed(b);
}

void dispatch_server(const std::string& root) {
  bytes unterminated = envelope(kRequestSize, GEN_IPC_KIND_REQUEST, 0, 0, std::string(32, 'x'));
  bytes too_short(128, 0);
  put_word(too_short, GEN_IPC_HDR_LENGTH_OFFSET, 100);
  write_seeds(root, "fuzz_dispatch_server",
              {with_steering(31, callback_request(0, 0x34)), with_steering(30, callback_request(0, 7)),
               with_steering(0, callback_request(5, 0)), with_steering(6, callback_request(0, 1)),
               with_steering(0, trimmed(unterminated)), with_steering(0, too_short)});
}

// One scripted reply: a 16-bit length and a COMM_DIR_REPLY (result at byte
// 12, word at 16, data from 20) without its trailing zeros.
void add_reply(bytes& seed, RETCODE result, UINT word, const std::string& data = {}, std::size_t extra = 0) {
  bytes reply(velmarosta::COMM_DIR_REPLY_DATA_OFFSET, 0);
  put_word(reply, 12, static_cast<UINT>(result));
  put_word(reply, 16, word);
  put_text(reply, velmarosta::COMM_DIR_REPLY_DATA_OFFSET, data);
  std::size_t full = velmarosta::COMM_DIR_REPLY_SIZE + extra;
  while (!reply.empty() && reply.back() == 0) reply.pop_back();
  // Values longer than a plain reply keep their length, as the service sends them.
  std::size_t length = extra != 0 ? full : reply.size();
  reply.resize(length, 0);
  seed.push_back(static_cast<char>(length & 0xff));
  seed.push_back(static_cast<char>(length >> 8));
  seed.insert(seed.end(), reply.begin(), reply.end());
}

std::string berval(const std::string& value) {
  std::string b(sizeof(UINT), '\0');
  UINT length = static_cast<UINT>(value.size());
  std::memcpy(&b[0], &length, sizeof length);
  return b + value;
}

void facade_client(const std::string& root) {
  std::vector<bytes> seeds;
  for (char call : {0, 1, 2, 7, 8, 9, 10}) {
    bytes seed{call};
    add_reply(seed, 0, 42);
    seeds.push_back(seed);
  }
  for (char call : {3, 4}) {
    bytes seed{call};
    add_reply(seed, 0, velmarosta::COMM_DIR_REPLY_WORD_PRESENT, std::string("mail") + '\0');
    seeds.push_back(seed);
  }
  bytes strings{5};
  add_reply(strings, 0, 3);                       // count
  add_reply(strings, 0, 5);                       // length of value 0
  add_reply(strings, 0, 1, std::string("a@b.c") + '\0', 6);
  add_reply(strings, 0, 0);                       // value 1: none
  add_reply(strings, 0, 3);
  add_reply(strings, 0, 1, std::string("xyz") + '\0', 4);
  seeds.push_back(strings);
  bytes binaries{6};
  add_reply(binaries, 0, 2);
  add_reply(binaries, 0, 4);
  add_reply(binaries, 0, 1, berval("\x01\x02\x03\x04"), 4);
  add_reply(binaries, 0, 1);
  add_reply(binaries, 0, 1, berval("z"), 1);
  seeds.push_back(binaries);
  bytes refused{5};
  add_reply(refused, 0x51, 0);
  seeds.push_back(refused);
  write_seeds(root, "fuzz_facade_client", seeds);
}

void request_decoder(const std::string& root) {
  std::vector<bytes> seeds;
  for (UINT id = 0; id < static_cast<UINT>(velmarosta::COMM_DIR_FUNC_COUNT); ++id) {
    bytes b = envelope(kRequestSize, GEN_IPC_KIND_REQUEST, 0, id, kReplyServer);
    b.resize(sizeof(COMM_DIR_IPC_ENVELOPE_HEAD) + velmarosta::COMM_DIR_REQUEST_PREFIX_SIZE, 0);
    put_word(b, sizeof(COMM_DIR_IPC_ENVELOPE_HEAD) + velmarosta::COMM_DIR_REQUEST_PREFIX_SIZE, 9);  // operation id
    put_text(b, sizeof(COMM_DIR_IPC_ENVELOPE_HEAD) + velmarosta::COMM_DIR_REQUEST_PREFIX_SIZE + 4, "mail");
    seeds.push_back(with_steering(0, trimmed(b)));
  }
  seeds.push_back(with_steering(0, trimmed(envelope(kRequestSize, GEN_IPC_KIND_REPLY, 1, 3, kReplyServer))));
  seeds.push_back(with_steering(0, trimmed(envelope(kRequestSize, GEN_IPC_KIND_REQUEST, 0, 99, kReplyServer))));
  write_seeds(root, "fuzz_request_decoder", seeds);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS_FOLDER\n", argv[0]);
    return 2;
  }
  std::string root = argv[1];
  ::mkdir(root.c_str(), 0755);
  posix_datagram(root);
  dispatch_client(root);
  dispatch_server(root);
  facade_client(root);
  request_decoder(root);
  return 0;
}
