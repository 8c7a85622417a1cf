// Content batches spread over several kept-open connections
// (http_connections=): batch j goes on connection j mod N, each with its
// next batch written behind the one being read, so that N batches or more
// are in the servers' hands at once.  The fetch still reads the batches in
// order; while it waits for one, what arrives on the other connections is
// read into their own keeping, where their next exchange finds it, so
// that no connection's server waits for the one being read.

#include "dav/dav.h"
#include "transport/transport.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// The most answer bytes a connection keeps read ahead; past them its
// socket holds what comes, and its server waits.
static constexpr size_t carried_limit = size_t(64) << 20;
// The most bytes one read ahead takes in.
static constexpr size_t read_ahead_bytes = size_t(1) << 18;
// The room a new connection's response buffer starts with; it grows as
// its answers need.
static constexpr size_t lane_response_bytes = size_t(256) * 4096;

// The connections of one content pass and the batches they carry.
struct http_lanes {
	std::vector<const std::string*> batches;	// in the order they are read
	std::vector<connection*> lanes;			// the run's connection first
	std::vector<std::unique_ptr<connection>> opened;	// the others
	// The server closed the connection, or a read failed, while it was
	// read ahead: its next exchange finds out what is missing.
	std::vector<bool> ended;
	std::vector<char> area;		// what one read ahead takes in
	size_t next = 0;		// the batch the fetch reads next
};

// A connection to the same server with the same settings, not yet open,
// with a response buffer of its own.
static std::unique_ptr<connection>
new_lane(const connection& conn)
{
	auto lane = std::make_unique<connection>();
	static_cast<settings&>(*lane) = conn;
	lane->ops = conn.ops;
	lane->repository_root = conn.repository_root;
	lane->trunk = conn.trunk;
	lane->uuid = conn.uuid;
	lane->response = response_buffer(lane_response_bytes);
	return lane;
}

// The connection batch j goes on, made when it is first needed.
static connection&
lane_of(http_lanes& lanes, const connection& conn, size_t j)
{
	size_t k = j % lanes.ended.size();
	while (lanes.lanes.size() <= k) {
		lanes.opened.push_back(new_lane(conn));
		lanes.lanes.push_back(lanes.opened.back().get());
	}
	return *lanes.lanes[k];
}

// The place of batch in the pass: the one read last (asked again) or the
// next; nothing for a batch the pass does not hold.
static std::optional<size_t>
batch_index(http_lanes& lanes, const std::string& batch)
{
	if (lanes.next > 0 && lanes.batches[lanes.next - 1] == &batch)
		return lanes.next - 1;
	if (lanes.next < lanes.batches.size() && lanes.batches[lanes.next] == &batch)
		return lanes.next++;
	return std::nullopt;
}

// True when connection k has answers on the way that can be read ahead.
static bool
reads_ahead(const http_lanes& lanes, size_t k)
{
	const connection& lane = *lanes.lanes[k];
	return lane.socket_fd > 0 && lane.http_ahead_sent && lane.http_kept_open && !lanes.ended[k] &&
	    lane.http_carried.size() < carried_limit;
}

// Reads once from connection k into its keeping.
static void
read_ahead(http_lanes& lanes, size_t k)
{
	connection& lane = *lanes.lanes[k];
	lanes.area.resize(read_ahead_bytes);
	ssize_t count = read_stream(lane, lanes.area.data(), lanes.area.size());
	if (count <= 0) {
		lanes.ended[k] = true;
		return;
	}
	lane.http_carried.append(lanes.area.data(), static_cast<size_t>(count));
}

// Waits up to wait milliseconds (-1: the read time limit) until current
// or another connection with answers on the way has bytes, and reads the
// others'.  Returns how many it read from; -1 when no other has answers on
// the way.  Silence on all of them for the read time limit ends the run.
static int
read_others(http_lanes& lanes, const connection& current, int wait)
{
	std::vector<pollfd> ready;
	std::vector<size_t> which;

	for (size_t k = 0; k < lanes.lanes.size(); k++) {
		const connection& lane = *lanes.lanes[k];
		if (&lane == &current || !reads_ahead(lanes, k))
			continue;
		if (lane.tls && SSL_pending(lane.tls.get()) > 0) {
			read_ahead(lanes, k);
			return 1;
		}
		ready.push_back({lane.socket_fd, POLLIN, 0});
		which.push_back(k);
	}
	if (ready.empty())
		return -1;
	ready.push_back({current.socket_fd, POLLIN, 0});
	int count = poll(ready.data(), ready.size(), wait < 0 ? current.read_time_limit * 1000 : wait);
	if (count < 0)
		return errno == EINTR ? 0 : -1;
	if (count == 0 && wait < 0) {
		errno = EAGAIN;
		check_read_time_limit(current);
	}
	int read = 0;
	for (size_t i = 0; i < which.size(); i++)
		if (ready[i].revents != 0) {
			read_ahead(lanes, which[i]);
			read++;
		}
	return read;
}

// The idle work of the connection being read: waits for bytes and reads
// those of the other connections.  False when no other has answers on
// the way, so that the read waits on current alone.
static bool
read_others_ahead(http_lanes& lanes, const connection& current)
{
	return read_others(lanes, current, -1) >= 0;
}

// Reads what the other connections hold now, before current is read: the
// bytes that came while the fetch wrote the last batch's files.
static void
read_others_now(http_lanes& lanes, const connection& current)
{
	while (read_others(lanes, current, 0) > 0) {
	}
}

// Gives conn the answers that lane read: the buffers change hands.
static void
take_response(connection& conn, connection& lane)
{
	std::swap(conn.response, lane.response);
	std::swap(conn.http_answers, lane.http_answers);
}

// Ends the pass: the connections it opened are closed.
static void
close_lanes(connection& conn)
{
	if (!conn.lanes)
		return;
	for (auto& lane : conn.lanes->opened)
		close_connection(*lane);
	conn.http_queued.clear();
	conn.lanes.reset();
}

void
spread_contents_http(connection& conn, const std::vector<const std::string*>& batches)
{
	close_lanes(conn);
	size_t count = std::min(batches.size(), static_cast<size_t>(std::max(conn.http_connections, 1)));
	if (count < 2)
		return;
	auto lanes = std::make_shared<http_lanes>();
	lanes->batches = batches;
	lanes->lanes.push_back(&conn);
	lanes->ended.assign(count, false);
	conn.lanes = lanes;
	for (size_t j = 0; j < count; j++)
		send_ahead_http(lane_of(*lanes, conn, j), *batches[j]);
}

void
exchange_contents_http(connection& conn, const std::string& batch, uint32_t answers)
{
	std::shared_ptr<http_lanes> lanes = conn.lanes;
	std::optional<size_t> j = lanes ? batch_index(*lanes, batch) : std::nullopt;
	if (!j) {
		process_command_http(conn, batch.c_str(), answers);
		return;
	}
	size_t count = lanes->ended.size();
	connection& lane = lane_of(*lanes, conn, *j);
	lane.http_queued = *j + count < lanes->batches.size() ? *lanes->batches[*j + count] : std::string();
	lanes->ended[*j % count] = false;
	read_others_now(*lanes, lane);
	std::function<bool()> saved = std::move(lane.idle_work);
	lane.idle_work = [&lanes = *lanes, &lane] { return read_others_ahead(lanes, lane); };
	process_command_http(lane, batch.c_str(), answers);
	lane.idle_work = std::move(saved);
	if (&lane != &conn)
		take_response(conn, lane);
}
