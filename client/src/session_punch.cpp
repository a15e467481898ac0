// UDP hole punching: the server's punch message lists records (a target
// address, a run of ports, a time-to-live and a payload), and we send the
// payload to each port in turn from our UDP socket, so that the NATs
// between us and a peer let the peer's datagrams in.
//
// The datagrams leave in the order of the message, 10 ms apart, with 50 ms
// more after each record, as NATs expect a punch to look. The pauses are
// kept by punch_timer, not by sleeping: the loop goes on serving the tap,
// the tunnels and the server meanwhile, whatever the message asks for.
//
// Ownership and limits: the session owns the queue (punch_queue, in
// session.h). A punch message that arrives while another is being sent
// queues behind it: each one opens the way to a peer, and dropping an
// earlier one for a later one would leave its peer unreachable. Records
// without ports cost nothing (only their time-to-live is carried on to the
// following records, as it would have been); at most PUNCH_MESSAGE_LIMIT
// datagrams are taken from one message and at most PUNCH_QUEUE_LIMIT wait
// in all, so a hostile server can neither stall us nor make us hold or
// send much. The queue belongs to the UDP socket and goes with it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <deque>

#include "client/session.h"
#include "clisrv/server_msg.h"
#include "common/log.h"
#include "common/util.h"

namespace {

const uint32_t PUNCH_SPACING_MS = 10;      // after each datagram
const uint32_t PUNCH_RECORD_PAUSE_MS = 50;  // and this much more after a record
const uint32_t PUNCH_MESSAGE_LIMIT = 256;
const uint32_t PUNCH_QUEUE_LIMIT = 1024;

// One datagram, with its own time-to-live when `ttl` is not 0: given with
// the datagram, the socket's own value stays for the tunnels' traffic.
void send_punch(int fd, const punch_run &run, uint16_t port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(run.addr);
  to.sin_port = htons(port);
  iovec iov = {const_cast<char *>(run.payload.data()), run.payload.size()};
  msghdr msg{};
  msg.msg_name = &to;
  msg.msg_namelen = sizeof to;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  int_control control;
  if (run.ttl != 0) attach_int_control(msg, control, IPPROTO_IP, IP_TTL, run.ttl);
  sendmsg(fd, &msg, MSG_DONTWAIT);  // errors are of no consequence
}

}  // namespace

void session::on_punch(msg_reader &r) {
  if (state < STATE_discovery) throw bad_state();
  std::vector<srv::punch_record> records = srv::get_punch(r);
  must_end(r);
  if (udp_sock.fd < 0) return;  // nothing to send from

  std::deque<punch_run> runs;
  uint32_t datagrams = 0;
  uint8_t ttl = 0;  // a record's time-to-live holds for the ones after it
  for (srv::punch_record &p : records) {
    if (p.ttl != 0) ttl = p.ttl;
    // Ports past 65535 do not exist.
    uint32_t count = std::min<uint32_t>(p.count, 65536 - uint32_t(p.target.port));
    count = std::min(count, PUNCH_MESSAGE_LIMIT - datagrams);
    if (count == 0) continue;
    punch_run run;
    run.addr = p.target.addr;
    run.first_port = p.target.port;
    run.count = static_cast<uint16_t>(count);
    run.ttl = ttl;
    run.payload = std::move(p.payload);
    runs.push_back(std::move(run));
    datagrams += count;
  }
  if (datagrams == 0) return;
  if (punch_pending + datagrams > PUNCH_QUEUE_LIMIT) {
    log_limited(udp_log.punch_dropped, evl_now, "ses: punch dropped", [&] {
      log_write("ses: punch dropped, %u datagrams still to send\n", punch_pending);
    });
    return;
  }
  for (punch_run &run : runs) punch_queue.push_back(std::move(run));
  punch_pending += datagrams;
  // Otherwise the queue is being sent, or the pause after the last
  // record of the one before still runs: the timer goes on with this one.
  if (!evl_timer_running(&punch_timer)) punch_step();
}

void session::punch_step() {
  if (punch_queue.empty() || udp_sock.fd < 0) {
    punch_clear();
    return;
  }
  punch_run &run = punch_queue.front();
  send_punch(udp_sock.fd, run, static_cast<uint16_t>(run.first_port + punch_next));
  punch_pending--;
  punch_timer.period = PUNCH_SPACING_MS;
  if (++punch_next == run.count) {
    punch_queue.pop_front();
    punch_next = 0;
    punch_timer.period += PUNCH_RECORD_PAUSE_MS;
  }
  // Restarted from now, also when it is the timer that called.
  evl_timer_start(&punch_timer);
}

void session::punch_clear() {
  evl_timer_stop(&punch_timer);
  punch_queue.clear();
  punch_next = 0;
  punch_pending = 0;
}
