#include "connect/telnet/telnet_engine.h"

#include <algorithm>
#include <cstring>

namespace termiva::telnet {

namespace {

// RFC 1091 / 1079 / 1572 subcommand bytes.
constexpr unsigned char IS = 0, SEND = 1;
constexpr unsigned char ENV_VAR = 0, ENV_VALUE = 1, ENV_ESC = 2, ENV_USERVAR = 3;

// RFC 2217 client commands; the server answers with the same code plus 100.
constexpr unsigned char COM_SIGNATURE = 0, COM_SET_BAUDRATE = 1, COM_SET_DATASIZE = 2,
                        COM_SET_PARITY = 3, COM_SET_STOPSIZE = 4, COM_SET_CONTROL = 5,
                        COM_PURGE_DATA = 12, COM_SERVER_BASE = 100;
constexpr unsigned char PURGE_BOTH = 3;

constexpr const char* SIGNATURE = "Termiva";

void put_escaped(std::string& out, std::string_view bytes) {
    for (char c : bytes) {
        out.push_back(c);
        if (static_cast<unsigned char>(c) == IAC) out.push_back(c);
    }
}

void put_sb(std::string& out, unsigned char opt, std::string_view body) {
    out.push_back(static_cast<char>(IAC));
    out.push_back(static_cast<char>(SB));
    out.push_back(static_cast<char>(opt));
    put_escaped(out, body);
    out.push_back(static_cast<char>(IAC));
    out.push_back(static_cast<char>(SE));
}

void put_cmd(std::string& out, unsigned char cmd, unsigned char opt) {
    out.push_back(static_cast<char>(IAC));
    out.push_back(static_cast<char>(cmd));
    out.push_back(static_cast<char>(opt));
}

bool well_known_var(std::string_view name) {
    return name == "USER" || name == "JOB" || name == "ACCT" || name == "PRINTER" ||
           name == "SYSTEMTYPE" || name == "DISPLAY";
}

// NEW-ENVIRON names and values escape the type bytes so they cannot end a field early.
void put_env_text(std::string& out, std::string_view text) {
    for (char c : text) {
        auto b = static_cast<unsigned char>(c);
        if (b == ENV_VAR || b == ENV_VALUE || b == ENV_ESC || b == ENV_USERVAR)
            out.push_back(static_cast<char>(ENV_ESC));
        out.push_back(c);
    }
}

unsigned char parity_code(const std::string& p) {
    if (p == "O" || p == "o") return 2;
    if (p == "E" || p == "e") return 3;
    if (p == "M" || p == "m") return 4;
    if (p == "S" || p == "s") return 5;
    return 1;
}

unsigned char stop_code(const std::string& s) {
    if (s == "2") return 2;
    if (s == "1.5") return 3;
    return 1;
}

unsigned char flow_code(const std::string& f) {
    if (f == "X" || f == "x") return 2;
    if (f == "R" || f == "r") return 3;
    if (f == "D" || f == "d") return 19;  // DSR flow control (outbound)
    return 1;
}

std::string describe(unsigned char command, std::uint32_t v) {
    switch (command) {
        case COM_SET_PARITY: {
            static const char* names[] = {"?", "N", "O", "E", "M", "S"};
            return v < 6 && v > 0 ? names[v] : std::to_string(v);
        }
        case COM_SET_STOPSIZE:
            return v == 1 ? "1" : v == 2 ? "2" : v == 3 ? "1.5" : std::to_string(v);
        case COM_SET_CONTROL:
            // Outbound and inbound codes of the same kind read alike to the user.
            if (v == 1 || v == 14) return "N";
            if (v == 2 || v == 15) return "X";
            if (v == 3 || v == 16) return "R";
            if (v >= 17 && v <= 19) return "D";
            return std::to_string(v);
        default:
            return std::to_string(v);
    }
}

const char* setting_name(unsigned char command) {
    switch (command) {
        case COM_SET_BAUDRATE:
            return "baud";
        case COM_SET_DATASIZE:
            return "bits";
        case COM_SET_PARITY:
            return "parity";
        case COM_SET_STOPSIZE:
            return "stop";
        default:
            return "flow";
    }
}

}  // namespace

Engine::Engine(Options options) : m_options(std::move(options)) {
    m_sb.reserve(64);
}

bool Engine::want_local(unsigned char opt) const {
    switch (opt) {
        case OPT_BINARY:
        case OPT_SGA:
        case OPT_TTYPE:
        case OPT_TSPEED:
        case OPT_NAWS:
            return true;
        case OPT_NEW_ENVIRON:
            return m_options.rfc_environ;
        case OPT_COM_PORT:
            return m_options.com_port_control;
        default:
            return false;
    }
}

bool Engine::want_remote(unsigned char opt) const {
    switch (opt) {
        case OPT_BINARY:
        case OPT_ECHO:
        case OPT_SGA:
            return true;
        case OPT_COM_PORT:
            return m_options.com_port_control;
        default:
            return false;
    }
}

void Engine::start(std::string& reply) {
    if (m_options.passive || m_started) return;
    offer_all(reply);
}

void Engine::offer_all(std::string& reply) {
    m_started = true;
    for (unsigned char opt :
         {OPT_BINARY, OPT_SGA, OPT_TTYPE, OPT_TSPEED, OPT_NAWS, OPT_NEW_ENVIRON, OPT_COM_PORT}) {
        if (want_local(opt)) ask_local(opt, reply);
    }
    for (unsigned char opt : {OPT_BINARY, OPT_SGA, OPT_ECHO})
        ask_remote(opt, reply);
}

// Asking to turn an option on, for either side (`cmd` is WILL for ours, DO for the peer's).
void Engine::ask_on(Side& s, unsigned char cmd, unsigned char opt, std::string& reply) {
    switch (s.state) {
        case Q::no:
            s.state = Q::wantyes;
            put_cmd(reply, cmd, opt);
            break;
        case Q::wantno:
            s.opposite = true;
            break;
        case Q::wantyes:
            s.opposite = false;
            break;
        case Q::yes:
            break;
    }
}

void Engine::ask_local(unsigned char opt, std::string& reply) {
    ask_on(m_us[opt], WILL, opt, reply);
}

void Engine::ask_remote(unsigned char opt, std::string& reply) {
    ask_on(m_him[opt], DO, opt, reply);
}

// RFC 1143's answer to a WILL (about the peer's side) or a DO (about ours) is the same
// for both sides; only the command bytes differ. True when the option has just turned on.
bool Engine::peer_asks_on(Side& s, bool wanted, unsigned char agree, unsigned char refuse,
                          unsigned char opt, const char* what, std::string& reply) {
    switch (s.state) {
        case Q::no:
            if (wanted) {
                s.state = Q::yes;
                put_cmd(reply, agree, opt);
                return true;
            }
            if (!s.refused) {
                s.refused = true;
                put_cmd(reply, refuse, opt);
            }
            return false;
        case Q::yes:
            return false;
        case Q::wantno:
            if (s.opposite) {
                s.state = Q::yes;
                s.opposite = false;
                return true;
            }
            s.state = Q::no;
            m_protocol_error = std::string(what) + " of option " + std::to_string(opt);
            return false;
        case Q::wantyes:
            if (s.opposite) {
                s.state = Q::wantno;
                s.opposite = false;
                put_cmd(reply, refuse, opt);
                return false;
            }
            s.state = Q::yes;
            return true;
    }
    return false;
}

// The same for WONT and DONT: `off` confirms the option is off, `on` asks again for
// what the user queued while our refusal was on its way.
void Engine::peer_turns_off(Side& s, unsigned char off, unsigned char on, unsigned char opt,
                            std::string& reply) {
    switch (s.state) {
        case Q::no:
            break;
        case Q::yes:
            s.state = Q::no;
            put_cmd(reply, off, opt);
            break;
        case Q::wantno:
            if (s.opposite) {
                s.state = Q::wantyes;
                s.opposite = false;
                put_cmd(reply, on, opt);
            } else {
                s.state = Q::no;
            }
            break;
        case Q::wantyes:
            s.state = Q::no;
            s.opposite = false;
            break;
    }
}

void Engine::got_will(unsigned char opt, std::string& reply, std::vector<Event>&) {
    peer_asks_on(m_him[opt], want_remote(opt), DO, DONT, opt, "WILL answered our DONT", reply);
}

void Engine::got_wont(unsigned char opt, std::string& reply, std::vector<Event>&) {
    peer_turns_off(m_him[opt], DONT, DO, opt, reply);
}

void Engine::got_do(unsigned char opt, std::string& reply, std::vector<Event>&) {
    if (peer_asks_on(m_us[opt], want_local(opt), WILL, WONT, opt, "DO answered our WONT", reply))
        local_now_on(opt, reply);
}

void Engine::got_dont(unsigned char opt, std::string& reply, std::vector<Event>& events) {
    bool was_asked = m_us[opt].state == Q::wantyes;
    peer_turns_off(m_us[opt], WONT, WILL, opt, reply);
    if (opt == OPT_COM_PORT && m_options.com_port_control && was_asked && !m_com_sent)
        events.push_back({Event::Kind::com_port_refused, "", "", ""});
}

void Engine::local_now_on(unsigned char opt, std::string& reply) {
    if (opt == OPT_NAWS) resize(m_options.height, m_options.width, reply);
    if (opt == OPT_COM_PORT) send_com_settings(reply);
}

void Engine::resize(int rows, int cols, std::string& reply) {
    m_options.height = std::clamp(rows, 0, 65535);
    m_options.width = std::clamp(cols, 0, 65535);
    if (m_us[OPT_NAWS].state != Q::yes) return;
    char body[4] = {static_cast<char>(m_options.width >> 8), static_cast<char>(m_options.width),
                    static_cast<char>(m_options.height >> 8), static_cast<char>(m_options.height)};
    put_sb(reply, OPT_NAWS, std::string_view(body, 4));
}

void Engine::send_com_settings(std::string& reply) {
    const ComPortSettings& c = m_options.com;
    auto command = [&](unsigned char code, std::string_view value) {
        std::string body(1, static_cast<char>(code));
        body.append(value);
        put_sb(reply, OPT_COM_PORT, body);
    };
    auto expect = [&](unsigned char code, std::uint32_t value) {
        m_com_pending[code] = {true, value};
    };
    auto baud = static_cast<std::uint32_t>(c.baud > 0 ? c.baud : 9600);
    char b[4] = {static_cast<char>(baud >> 24), static_cast<char>(baud >> 16),
                 static_cast<char>(baud >> 8), static_cast<char>(baud)};
    command(COM_SET_BAUDRATE, std::string_view(b, 4));
    expect(COM_SET_BAUDRATE, baud);
    auto bits = static_cast<unsigned char>(c.bits >= 5 && c.bits <= 8 ? c.bits : 8);
    command(COM_SET_DATASIZE, std::string(1, static_cast<char>(bits)));
    expect(COM_SET_DATASIZE, bits);
    command(COM_SET_PARITY, std::string(1, static_cast<char>(parity_code(c.parity))));
    expect(COM_SET_PARITY, parity_code(c.parity));
    command(COM_SET_STOPSIZE, std::string(1, static_cast<char>(stop_code(c.stop))));
    expect(COM_SET_STOPSIZE, stop_code(c.stop));
    command(COM_SET_CONTROL, std::string(1, static_cast<char>(flow_code(c.flow))));
    expect(COM_SET_CONTROL, flow_code(c.flow));
    // Whatever sat in the server's buffers belongs to whoever used the port before us.
    command(COM_PURGE_DATA, std::string(1, static_cast<char>(PURGE_BOTH)));
    m_com_sent = true;
}

bool Engine::com_settings_answered() const {
    if (!m_com_sent) return false;
    for (const auto& p : m_com_pending) {
        if (p.waiting) return false;
    }
    return true;
}

void Engine::com_port_reply(std::string_view body, std::string& reply, std::vector<Event>& events) {
    if (body.empty()) return;
    auto code = static_cast<unsigned char>(body[0]);
    std::string_view value = body.substr(1);
    if (code == COM_SERVER_BASE + COM_SIGNATURE || code == COM_SIGNATURE) {
        // An empty signature is a request for ours; a filled one is the server's, kept quiet.
        if (value.empty()) {
            std::string sig(1, static_cast<char>(COM_SIGNATURE));
            sig.append(SIGNATURE);
            put_sb(reply, OPT_COM_PORT, sig);
        }
        return;
    }
    if (code < COM_SERVER_BASE + COM_SET_BAUDRATE || code > COM_SERVER_BASE + COM_SET_CONTROL)
        return;  // line/modem state notices, flow suspend/resume, mask and purge acks
    auto command = static_cast<unsigned char>(code - COM_SERVER_BASE);
    Pending& p = m_com_pending[command];
    if (!p.waiting) return;
    std::uint32_t got = 0;
    if (command == COM_SET_BAUDRATE) {
        if (value.size() < 4) return;
        for (int i = 0; i < 4; ++i)
            got = (got << 8) | static_cast<unsigned char>(value[i]);
    } else {
        if (value.empty()) return;
        got = static_cast<unsigned char>(value[0]);
    }
    p.waiting = false;
    // The flow answer may name the outbound half only; the inbound half of D reads as 18.
    if (command == COM_SET_CONTROL && p.value == 19 && got == 18) return;
    if (got == p.value) return;
    const ComPortSettings& c = m_options.com;
    std::string requested;
    switch (command) {
        case COM_SET_BAUDRATE:
            requested = std::to_string(p.value);
            break;
        case COM_SET_DATASIZE:
            requested = std::to_string(p.value);
            break;
        case COM_SET_PARITY:
            requested = c.parity;
            break;
        case COM_SET_STOPSIZE:
            requested = c.stop;
            break;
        default:
            requested = c.flow;
            break;
    }
    events.push_back(
        {Event::Kind::com_port_changed, setting_name(command), requested, describe(command, got)});
}

void Engine::send_environ(std::string_view request, std::string& reply) {
    struct Var {
        std::string name, value;
        bool user;
    };
    std::vector<Var> vars;
    auto add = [&](const std::string& name, const std::string& value) {
        for (auto& v : vars) {
            if (v.name == name) {
                v.value = value;
                return;
            }
        }
        vars.push_back({name, value, !well_known_var(name)});
    };
    if (!m_options.username.empty()) add("USER", m_options.username);
    for (const auto& [k, v] : m_options.environment) {
        if (!k.empty()) add(k, v);
    }

    // The request lists (type, name) pairs; none means "everything".
    struct Want {
        bool user;
        std::string name;
    };
    std::vector<Want> wants;
    for (std::size_t i = 0; i < request.size();) {
        auto t = static_cast<unsigned char>(request[i++]);
        if (t != ENV_VAR && t != ENV_USERVAR) continue;
        std::string name;
        while (i < request.size()) {
            auto b = static_cast<unsigned char>(request[i]);
            if (b == ENV_VAR || b == ENV_USERVAR || b == ENV_VALUE) break;
            if (b == ENV_ESC && i + 1 < request.size()) ++i;
            name.push_back(request[i++]);
        }
        wants.push_back({t == ENV_USERVAR, name});
    }

    std::string body(1, static_cast<char>(IS));
    auto put_var = [&](const Var& v) {
        body.push_back(static_cast<char>(v.user ? ENV_USERVAR : ENV_VAR));
        put_env_text(body, v.name);
        body.push_back(static_cast<char>(ENV_VALUE));
        put_env_text(body, v.value);
    };
    if (wants.empty()) {
        for (const auto& v : vars)
            put_var(v);
    } else {
        for (const auto& w : wants) {
            bool found = false;
            for (const auto& v : vars) {
                if (v.user == w.user && (w.name.empty() || v.name == w.name)) {
                    put_var(v);
                    found = true;
                }
            }
            if (!found && !w.name.empty()) {  // named but unknown: listed without a value
                body.push_back(static_cast<char>(w.user ? ENV_USERVAR : ENV_VAR));
                put_env_text(body, w.name);
            }
        }
    }
    put_sb(reply, OPT_NEW_ENVIRON, body);
}

void Engine::subnegotiation(std::string& reply, std::vector<Event>& events) {
    if (m_sb_overflow) return;
    std::string_view body = m_sb;
    switch (m_sb_opt) {
        case OPT_TTYPE:
            if (m_us[OPT_TTYPE].state == Q::yes && !body.empty() && body[0] == SEND) {
                // Every SEND gets the same name: repeating it ends the server's cycling.
                put_sb(reply, OPT_TTYPE,
                       std::string(1, static_cast<char>(IS)) + m_options.term_type);
            }
            break;
        case OPT_TSPEED:
            if (m_us[OPT_TSPEED].state == Q::yes && !body.empty() && body[0] == SEND) {
                put_sb(reply, OPT_TSPEED,
                       std::string(1, static_cast<char>(IS)) + m_options.term_speed);
            }
            break;
        case OPT_NEW_ENVIRON:
            if (m_us[OPT_NEW_ENVIRON].state == Q::yes && !body.empty() && body[0] == SEND)
                send_environ(body.substr(1), reply);
            break;
        case OPT_COM_PORT:
            if (m_us[OPT_COM_PORT].state == Q::yes || m_him[OPT_COM_PORT].state == Q::yes)
                com_port_reply(body, reply, events);
            break;
        default:
            break;  // subnegotiation of an option never agreed: ignored
    }
}

void Engine::plain(std::string_view run, std::string& data) {
    if (run.empty()) return;
    if (m_him[OPT_BINARY].state == Q::yes) {
        data.append(run);
        m_cr = false;
        return;
    }
    // Outside binary mode a NUL after CR is padding (RFC 854); NULs are rare, so look for
    // them rather than at every byte.
    std::size_t i = 0;
    if (m_cr && run[0] == '\0') i = 1;
    while (i < run.size()) {
        const void* z = std::memchr(run.data() + i, 0, run.size() - i);
        if (!z) {
            data.append(run.substr(i));
            break;
        }
        std::size_t k = static_cast<std::size_t>(static_cast<const char*>(z) - run.data());
        bool padding = k > 0 && run[k - 1] == '\r';
        data.append(run.substr(i, padding ? k - i : k + 1 - i));
        i = k + 1;
    }
    m_cr = run.back() == '\r';
}

void Engine::receive(std::string_view in, std::string& data, std::string& reply,
                     std::vector<Event>& events) {
    const auto* p = reinterpret_cast<const unsigned char*>(in.data());
    const std::size_t n = in.size();
    std::size_t i = 0;
    while (i < n) {
        switch (m_state) {
            case State::data: {
                const void* f = std::memchr(p + i, IAC, n - i);
                std::size_t end =
                    f ? static_cast<std::size_t>(static_cast<const unsigned char*>(f) - p) : n;
                plain(in.substr(i, end - i), data);
                if (!f) return;
                i = end + 1;
                m_state = State::iac;
                break;
            }
            case State::iac: {
                unsigned char c = p[i++];
                m_state = State::data;
                if (c == IAC) {
                    data.push_back(static_cast<char>(IAC));
                    m_cr = false;
                } else if (c == WILL) {
                    m_state = State::will;
                } else if (c == WONT) {
                    m_state = State::wont;
                } else if (c == DO) {
                    m_state = State::do_;
                } else if (c == DONT) {
                    m_state = State::dont;
                } else if (c == SB) {
                    m_state = State::sb_opt;
                }
                // NOP, GA, DM, AYT and the rest carry nothing a terminal needs.
                break;
            }
            case State::will:
            case State::wont:
            case State::do_:
            case State::dont: {
                unsigned char opt = p[i++];
                State which = m_state;
                m_state = State::data;
                if (which == State::will) got_will(opt, reply, events);
                if (which == State::wont) got_wont(opt, reply, events);
                if (which == State::do_) got_do(opt, reply, events);
                if (which == State::dont) got_dont(opt, reply, events);
                if (!m_started) offer_all(reply);  // passive: the server has spoken first
                break;
            }
            case State::sb_opt:
                m_sb_opt = p[i++];
                m_sb.clear();
                m_sb_overflow = false;
                m_state = State::sb;
                break;
            case State::sb: {
                const void* f = std::memchr(p + i, IAC, n - i);
                std::size_t end =
                    f ? static_cast<std::size_t>(static_cast<const unsigned char*>(f) - p) : n;
                std::size_t take = end - i;
                if (m_sb.size() + take > MAX_SB) {
                    m_sb_overflow = true;
                    take = MAX_SB - std::min(MAX_SB, m_sb.size());
                }
                m_sb.append(in.substr(i, take));
                i = f ? end + 1 : n;
                if (f) m_state = State::sb_iac;
                break;
            }
            case State::sb_iac: {
                unsigned char c = p[i];
                if (c == IAC) {
                    if (m_sb.size() < MAX_SB)
                        m_sb.push_back(static_cast<char>(IAC));
                    else
                        m_sb_overflow = true;
                    m_state = State::sb;
                    ++i;
                } else if (c == SE) {
                    m_state = State::data;
                    ++i;
                    subnegotiation(reply, events);
                } else {
                    // A command inside a subnegotiation: the SB was never closed. Drop it
                    // and read the command as if the SB had ended.
                    m_protocol_error = "subnegotiation of option " + std::to_string(m_sb_opt) +
                                       " not closed by IAC SE";
                    m_state = State::iac;
                }
                break;
            }
        }
    }
}

void Engine::encode(std::string_view in, std::string& out) const {
    // While our WILL BINARY is unanswered the server may already read us as binary (it
    // does once it has sent its DO): a NUL after CR would then reach its program. A bare
    // CR is what a non-binary server copes with best as well.
    bool binary = m_us[OPT_BINARY].state == Q::yes || m_us[OPT_BINARY].state == Q::wantyes;
    out.reserve(out.size() + in.size() + 8);
    std::size_t start = 0;
    for (std::size_t i = 0; i < in.size(); ++i) {
        auto b = static_cast<unsigned char>(in[i]);
        if (b != IAC && b != '\r') continue;
        out.append(in.substr(start, i + 1 - start));
        start = i + 1;
        if (b == IAC) {
            out.push_back(static_cast<char>(IAC));
        } else if (binary || (i + 1 < in.size() && (in[i + 1] == '\n' || in[i + 1] == '\0'))) {
            // In binary mode a CR is just a byte (RFC 856): adding LF would make a server
            // that passes it on see two line ends. A CR LF or CR NUL pair stays as it is.
        } else {
            out.push_back('\0');
        }
    }
    out.append(in.substr(start));
}

}  // namespace termiva::telnet
