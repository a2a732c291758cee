// One open tab's terminal: an xterm.js widget that shows the tab's output (a small piece
// comes with the program's notice, terminalOutput; the rest it pulls with drain_terminal),
// sends keystrokes with send_input and reports its size with resize_pty.
(function () {
  'use strict';
  const Termiva = (window.Termiva = window.Termiva || {});
  const { call } = Termiva.bridge;

  // The program tells the page once when a tab's output goes from none to some; a quiet
  // tab makes no calls at all. Once a pull finds nothing, the next small piece of output
  // (a keystroke's echo) comes with the notice itself; after it the page pulls until it
  // finds nothing again, so a flood is still pulled at the page's pace. A failed pull is
  // tried again after a pause.
  const FAILED_DELAY_MS = 1000;
  // The cursor stops blinking after this long without typing or output, as GTK's own
  // cursor-blink-timeout does: a blinking cursor repaints twice a second, for ever, and
  // that was most of what an idle window cost.
  const BLINK_IDLE_MS = 10000;
  const FLOW_DELAY_MS = 8;
  const BATCH_CHARS = 256 * 1024;

  // Jump scroll: a pull this long may hold more lines than the terminal keeps.
  const JUMP_MIN_CHARS = 256 * 1024;
  // Anything but printable text and line-end controls may change state that outlives it.
  const NOT_PLAIN = /[^\t\n\r\x20-\x7e\xa0-\uffff]/;

  const THEME = {
    background: '#0d0f14',
    foreground: '#d7dce5',
    cursor: '#5fc4c9',
    cursorAccent: '#0d0f14',
    selectionBackground: 'rgba(95, 196, 201, 0.28)',
    black: '#1b2029', red: '#e06c6c', green: '#8cc98a', yellow: '#e3c07a',
    blue: '#6fa8dc', magenta: '#c49bd8', cyan: '#5fc4c9', white: '#c9ced8',
    brightBlack: '#5c6577', brightRed: '#ff7b72', brightGreen: '#a6e3a1', brightYellow: '#f2d58f',
    brightBlue: '#8cc2f0', brightMagenta: '#d7b4ea', brightCyan: '#86dde0', brightWhite: '#f2f4f8',
  };

  const INFO_STYLE = '\x1b[36m'; // cyan: the program speaking, not the peer
  const ERROR_STYLE = '\x1b[1;91m'; // bright red
  const RESET = '\x1b[0m';

  class TerminalTab {
    // `font`: {family, size}; `onLink(uri)`: a link in the output was clicked;
    // `onSelection(tab)`: the selection changed.
    // `look`: {cursorStyle, cursorBlink, scrollback, bell}.
    constructor(id, host, { onKey, onTitle, onLink, onSelection, font, look } = {}) {
      this.id = id;
      this.closed = false;
      this.connected = false;
      this.pendingInfo = [];
      this.infoTicket = 0;
      this.pulling = false;
      this.endsLine = true;
      this.wanted = true; // output may be waiting already when the terminal is built
      this.carriedSeen = 0; // pieces of output that came with a notice
      this.pullAgain = false; // the last pull found output: the next may find more
      this.wakeSleep = null;
      this.blinkTimer = null;

      this.pane = document.createElement('div');
      this.pane.className = 'terminal-pane';
      this.pane.dataset.tabId = id;
      this.pane.hidden = true;
      const surface = document.createElement('div');
      surface.className = 'terminal-surface';
      this.pane.appendChild(surface);
      host.appendChild(this.pane);

      this.term = new window.Terminal({
        fontFamily: (font && font.family) || TerminalTab.DEFAULT_FONT,
        fontSize: (font && font.size) || TerminalTab.DEFAULT_SIZE,
        lineHeight: 1.15,
        cursorBlink: true,
        scrollback: TerminalTab.DEFAULT_SCROLLBACK,
        theme: THEME,
        // The search addon marks its matches with decorations, a proposed API.
        allowProposedApi: true,
        // Links the peer prints with OSC 8 go through the program too (its address check
        // refuses javascript:, file: and the like), never xterm.js's own confirm() and
        // window.open; without a handler a click does nothing.
        linkHandler: {
          activate: (event, uri) => {
            if (onLink) onLink(uri, event);
          },
          allowNonHttpProtocols: true,
        },
      });
      this.fitAddon = new window.FitAddon.FitAddon();
      this.term.loadAddon(this.fitAddon);
      if (window.SearchAddon) {
        this.searchAddon = new window.SearchAddon.SearchAddon({ highlightLimit: 20000 });
        this.term.loadAddon(this.searchAddon);
      }
      // Links open only through the program (which checks the scheme); without a handler
      // a click does nothing.
      if (window.WebLinksAddon && onLink) {
        this.term.loadAddon(new window.WebLinksAddon.WebLinksAddon((event, uri) => onLink(uri, event)));
      }
      if (onSelection) this.term.onSelectionChange(() => onSelection(this));
      this.term.open(surface);
      this.term.onData((data) => this.sendInput(data));
      this.term.onBell(() => this.ring());
      this.look = { cursorStyle: 'block', cursorBlink: true, bell: 'none' };
      if (look) this.setLook(look);
      this.activity();
      if (onKey) this.term.attachCustomKeyEventHandler((event) => onKey(event, this));
      if (onTitle) this.term.onTitleChange((title) => onTitle(this, title));

      this.drainLoop();
    }

    // ---- output ----

    async drainLoop() {
      while (!this.closed) {
        if (!this.wanted && !this.pullAgain) {
          await this.sleep(null);
          continue;
        }
        this.wanted = false;
        this.pullAgain = false;
        let text = '';
        const ticket = this.infoTicket;
        this.pulling = true;
        try {
          // The count lets the program hold back a pull that set out before the last
          // carried piece arrived: pulled text never overtakes carried text.
          text = await call('drain_terminal', this.id, this.carriedSeen);
        } catch (err) {
          this.pulling = false;
          this.wanted = true;
          await this.sleep(FAILED_DELAY_MS);
          continue;
        }
        this.pulling = false;
        if (this.closed) break;
        const got = typeof text === 'string' && text.length > 0;
        const parsed = got
          ? new Promise((resolve) => this.term.write(this.keptPart(text), resolve))
          : null;
        if (got) this.endsLine = text.endsWith('\n');
        this.flushInfo(ticket);
        if (parsed) {
          this.pullAgain = true; // until a pull finds nothing, output waits to be pulled
          this.activity();
          await parsed; // the next pull waits until the widget has caught up
          // While output flows, let it gather for a moment: one large pull costs far less
          // than many small ones, and the screen is drawn once a frame anyway.
          if (this.wanted && text.length < BATCH_CHARS) await this.sleep(FLOW_DELAY_MS);
        }
      }
    }

    // Of a pull holding more lines than the terminal keeps, only the lines kept are parsed,
    // when skipping cannot change what it shows: the part skipped is plain text, the parser
    // sits between sequences, the cursor is inside the scrolling region (every line then
    // scrolls through it), and the cut follows a CR LF (the cursor then starts a line
    // whatever came before). Twice the screen plus the scrollback is kept, so rows that held
    // older text when the kept part began have scrolled out too. Screen, scrollback and
    // cursor end up as if everything was parsed; a flood costs a bounded amount of work.
    keptPart(text) {
      if (text.length < JUMP_MIN_CHARS || !this.parserIdle()) return text;
      let cut = text.length;
      for (let n = 2 * this.term.rows + this.term.options.scrollback + 1; n > 0; n--) {
        cut = text.lastIndexOf('\n', cut - 1);
        if (cut <= 0) return text;
      }
      cut = text.lastIndexOf('\r\n', cut);
      if (cut < 0) return text;
      const skipped = text.slice(0, cut + 2);
      return NOT_PLAIN.test(skipped) ? text : text.slice(cut + 2);
    }

    // Only xterm.js's internals know the parser state and the scrolling region; without
    // them the page never skips.
    parserIdle() {
      const core = this.term._core;
      const parser = core && core._inputHandler && core._inputHandler._parser;
      const writes = core && core._writeBuffer;
      const buffer = core && core.buffer;
      return (
        !!parser && parser.currentState === 0 &&
        !!writes && writes._pendingData === 0 &&
        !!buffer && buffer.y >= buffer.scrollTop && buffer.y <= buffer.scrollBottom
      );
    }

    // Resolves after `ms`, or (null) only when woken.
    sleep(ms) {
      return new Promise((resolve) => {
        const timer = ms === null ? null : setTimeout(done, ms);
        const self = this;
        function done() {
          clearTimeout(timer);
          if (self.wakeSleep === done) self.wakeSleep = null;
          resolve();
        }
        this.wakeSleep = done;
      });
    }

    setLook(look) {
      if (this.closed || !look) return;
      this.look = look;
      if (this.term.options.cursorStyle !== look.cursorStyle) this.term.options.cursorStyle = look.cursorStyle;
      if (!look.cursorBlink && this.term.options.cursorBlink) this.term.options.cursorBlink = false;
      if (look.cursorBlink) this.activity();
      // A shorter scrollback drops the oldest lines, as the user asked.
      if (this.term.options.scrollback !== look.scrollback) this.term.options.scrollback = look.scrollback;
    }

    // BEL from the peer: a short flash of the pane, or a short tone.
    ring() {
      if (this.closed || this.look.bell === 'none') return;
      this.bells = (this.bells || 0) + 1;
      if (this.look.bell === 'visual') {
        this.pane.classList.remove('terminal-bell');
        void this.pane.offsetWidth; // restarts the flash when bells come close together
        this.pane.classList.add('terminal-bell');
        return;
      }
      TerminalTab.beep();
    }

    // Typing or output: the cursor blinks again for a while.
    activity() {
      if (this.closed) return;
      if (this.look && !this.look.cursorBlink) return;
      if (!this.term.options.cursorBlink) this.term.options.cursorBlink = true;
      clearTimeout(this.blinkTimer);
      this.blinkTimer = setTimeout(() => {
        if (!this.closed) this.term.options.cursorBlink = false;
      }, BLINK_IDLE_MS);
    }

    // The program has output for this tab. `carried` counts the pieces of output that came
    // with its notices so far; a new one (`text`) is shown at once, anything else is pulled.
    outputReady(text, carried) {
      if (Number.isSafeInteger(carried) && carried > this.carriedSeen && !this.closed) {
        this.carriedSeen = carried;
        if (typeof text === 'string' && text) {
          // Status lines waiting for earlier output: all of it has been shown by now (the
          // program carries nothing while pulled text is on its way).
          this.flushInfo(Infinity);
          this.term.write(text);
          this.endsLine = text.endsWith('\n');
          this.activity();
        }
      }
      this.wanted = true;
      if (this.wakeSleep) this.wakeSleep();
    }

    wake() {
      if (this.wakeSleep) this.wakeSleep();
    }

    // Before the connection is up there is no output to keep in order with, so a status
    // line shows at once. Afterwards a line (connection ended, settings applied) speaks of
    // the output sent before it. With no pull running and none asked for, all of that has
    // been written already (the program says when output waits, and its calls arrive in
    // order): the line shows at once, before whatever the program sends after it (the
    // prompt behind a file transfer's end). Otherwise it waits for a pull that started
    // after it arrived.
    showInfo(message, isError) {
      const line = { message: String(message), isError: !!isError };
      if (!this.connected || (!this.pulling && !this.wanted && !this.pullAgain && !this.pendingInfo.length)) {
        this.writeInfo(line);
        return;
      }
      this.infoTicket += 1;
      this.pendingInfo.push(Object.assign(line, { ticket: this.infoTicket }));
      this.outputReady();
    }

    flushInfo(upToTicket) {
      while (this.pendingInfo.length && this.pendingInfo[0].ticket <= upToTicket) {
        this.writeInfo(this.pendingInfo.shift());
      }
    }

    // A status line gets a line of its own. Writes are parsed later, so whether the
    // cursor sits at a line start is judged from what was written last.
    writeInfo({ message, isError }) {
      const prefix = this.endsLine ? '' : '\r\n';
      this.term.write(prefix + (isError ? ERROR_STYLE : INFO_STYLE) + message + RESET + '\r\n');
      this.endsLine = true;
    }

    // The tab connects again under a new id: the screen stays, the new connection's
    // output and status lines follow it, and its size is told once it is up.
    rekey(id) {
      this.id = id;
      this.pane.dataset.tabId = id;
      this.connected = false;
      this.pendingInfo = [];
      this.carriedSeen = 0;
      this.outputReady();
    }

    markConnected() {
      this.connected = true;
      this.fit();
    }

    // ---- input ----

    // The program keeps one tab's keystrokes and size changes in the order they were
    // sent, so each goes out at once.
    sendInput(data) {
      if (this.closed || !data) return;
      this.activity();
      call('send_input', this.id, data).catch(() => {
        // A refused call changes nothing on the program's side.
      });
    }

    sendSize(rows, cols) {
      if (this.closed) return;
      call('resize_pty', this.id, rows, cols).catch(() => {});
    }

    // ---- size ----

    // Fits the widget to its pane and tells the program the size the shell should use.
    fit() {
      if (this.closed || this.pane.hidden) return;
      const dims = this.fitAddon.proposeDimensions();
      if (!dims || !Number.isFinite(dims.cols) || !Number.isFinite(dims.rows)) return;
      this.fitAddon.fit();
      this.sendSize(this.term.rows, this.term.cols);
    }

    // A new font or size: the widget measures its cells again, so it refits and the
    // program hears the new size.
    setFont(family, size) {
      if (this.closed) return;
      if (family && this.term.options.fontFamily !== family) this.term.options.fontFamily = family;
      if (size && this.term.options.fontSize !== size) this.term.options.fontSize = size;
      this.fit();
    }

    show() {
      this.pane.hidden = false;
      this.fit();
      this.term.focus();
    }

    hide() {
      this.pane.hidden = true;
    }

    focus() {
      this.activity();
      this.term.focus();
    }

    dispose() {
      this.closed = true;
      clearTimeout(this.blinkTimer);
      this.wake();
      this.term.dispose();
      this.pane.remove();
    }
  }

  TerminalTab.DEFAULT_FONT = "'DejaVu Sans Mono', 'Cascadia Mono', Consolas, 'Noto Sans Mono CJK TC', monospace";
  TerminalTab.DEFAULT_SIZE = 14;
  TerminalTab.DEFAULT_SCROLLBACK = 10000;

  // One short quiet tone; a page without sound stays silent.
  let audio = null;
  TerminalTab.beep = () => {
    try {
      audio = audio || new (window.AudioContext || window.webkitAudioContext)();
      const osc = audio.createOscillator();
      const gain = audio.createGain();
      gain.gain.value = 0.08;
      osc.frequency.value = 880;
      osc.connect(gain).connect(audio.destination);
      osc.start();
      osc.stop(audio.currentTime + 0.12);
    } catch (err) {
      // No audio here: the bell is silent.
    }
  };

  Termiva.TerminalTab = TerminalTab;
})();
