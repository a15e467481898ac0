// The administration replies as text for people: tables with a header
// line for the lists, one sentence for a change. Built from the same JSON
// result that --json prints, so both views always agree.
#include "admin_text.h"

#include <algorithm>
#include <cstdio>
#include <vector>

using json = nlohmann::ordered_json;

namespace {

// Names and nicknames come from clients: no control characters reach the
// terminal.
std::string shown(const json &value) {
  if (value.is_null()) return "-";
  if (value.is_boolean()) return value.get<bool>() ? "yes" : "no";
  if (value.is_number()) return value.dump();
  std::string text = value.is_string() ? value.get<std::string>() : value.dump();
  for (char &c : text)
    if ((unsigned char)c < 0x20 || c == 0x7f) c = '?';
  return text;
}

std::string named(const json &r) {
  std::string text = shown(r["address"]);
  if (!r["nickname"].get<std::string>().empty()) text += " (" + shown(r["nickname"]) + ")";
  return text;
}

// Rows of cells under a header, each column as wide as its widest cell.
std::string table(const std::vector<std::vector<std::string>> &rows) {
  std::vector<size_t> width;
  for (const auto &row : rows)
    for (size_t i = 0; i < row.size(); i++) {
      if (width.size() <= i) width.push_back(0);
      width[i] = std::max(width[i], row[i].size());
    }
  std::string out;
  for (const auto &row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); i++)
      line += i + 1 < row.size() ? row[i] + std::string(width[i] - row[i].size() + 2, ' ') : row[i];
    out += line + "\n";
  }
  return out;
}

std::string client_table(const json &clients) {
  std::vector<std::vector<std::string>> rows = {
      {"ADDRESS", "NICKNAME", "KEY ID", "ENROLLED", "LAST SEEN", "ONLINE", "ENDPOINT", "NETWORKS"}};
  for (const json &c : clients) {
    // A network it is online in is marked with '*'.
    std::string nets;
    for (const json &n : c["networks"]) {
      bool online = false;
      for (const json &o : c["online_in"]) online = online || o == n;
      nets += (nets.empty() ? "" : " ") + std::string(online ? "*" : "") + shown(n);
    }
    rows.push_back({shown(c["address"]), shown(c["nickname"]), shown(c["key_id"]),
                    shown(c["enrolled"]), shown(c["last_seen"]), shown(c["online"]),
                    shown(c["endpoint"]), nets.empty() ? "-" : nets});
  }
  return rows.size() == 1 ? "no clients\n" : table(rows);
}

std::string pending_table(const json &requests) {
  std::vector<std::vector<std::string>> rows = {
      {"KEY ID", "NICKNAME", "SOURCE", "REQUESTED", "APPROVED"}};
  for (const json &p : requests)
    rows.push_back({shown(p["key_id"]), shown(p["nickname"]), shown(p["source"]),
                    shown(p["requested"]), shown(p["approved"])});
  return rows.size() == 1 ? "no enrolment waits for approval\n" : table(rows);
}

std::string network_table(const json &networks) {
  std::vector<std::vector<std::string>> rows = {{"NAME", "OWNER", "MEMBERS", "ONLINE"}};
  for (const json &n : networks)
    rows.push_back({shown(n["name"]), shown(n["owner"]), shown(n["members"]), shown(n["online"])});
  return rows.size() == 1 ? "no networks\n" : table(rows);
}

std::string network_page(const json &n) {
  std::string out = "network  " + shown(n["name"]) + "\nowner    " + shown(n["owner"]) + "\n";
  size_t online = 0;
  std::vector<std::vector<std::string>> rows;
  for (const json &m : n["members"]) {
    online += m["online"].get<bool>();
    rows.push_back(
        {m["online"].get<bool>() ? "  *" : "   ", shown(m["address"]), shown(m["nickname"])});
  }
  out += "members  " + std::to_string(rows.size()) + ", " + std::to_string(online) + " online\n";
  out += table(rows);
  std::string banned;
  for (const json &b : n["banned"]) banned += (banned.empty() ? "" : " ") + shown(b);
  return out + "banned   " + (banned.empty() ? "-" : banned) + "\n";
}

std::string stats_page(const json &s) {
  std::vector<std::vector<std::string>> rows;
  for (auto it = s.begin(); it != s.end(); ++it) rows.push_back({it.key(), shown(it.value())});
  return table(rows);
}

}  // namespace

std::string admin_text(const admin_request &request, const json &r) {
  const std::string &cmd = request.command;
  if (cmd == "clients list")
    return request.online_only && r.empty() ? "no client is online\n" : client_table(r);
  if (cmd == "clients pending") return pending_table(r);
  if (cmd == "networks list") return network_table(r);
  if (cmd == "networks show") return network_page(r);
  if (cmd == "stats") return stats_page(r);
  if (cmd == "clients remove") return "removed " + named(r) + "\n";
  if (cmd == "clients approve")
    return "approved key " + shown(r["key_id"]) + " (" + shown(r["nickname"]) +
           "): its next login enrols\n";
  if (cmd == "clients reject")
    return "rejected key " + shown(r["key_id"]) + " (" + shown(r["nickname"]) + ")\n";
  if (cmd == "networks delete")
    return "deleted " + shown(r["name"]) + " (" + shown(r["members"]) + " members)\n";
  if (cmd == "networks set-owner") return shown(r["name"]) + " now belongs to " + named(r) + "\n";
  if (cmd == "networks set-password") return "changed the password of " + shown(r["name"]) + "\n";
  if (cmd == "networks ban") return "banned " + named(r) + " from " + shown(r["name"]) + "\n";
  if (cmd == "networks unban")
    return "lifted the ban of " + named(r) + " from " + shown(r["name"]) + "\n";
  return r.dump(2) + "\n";
}
