// The one way the page talks to the program. In the window the web view's message
// handler answers each call with a promise; under the page tests a Playwright binding
// relays the same messages to the headless host. Both carry the same text:
// {"op": name, "args": [...]} out, {"result": value} or {"error": text} back.
(function () {
  'use strict';
  const Termiva = (window.Termiva = window.Termiva || {});

  class BridgeError extends Error {}

  function transport() {
    const handlers = window.webkit && window.webkit.messageHandlers;
    if (handlers && handlers.termiva) return (text) => handlers.termiva.postMessage(text);
    if (typeof window.termivaTestBridge === 'function') return (text) => window.termivaTestBridge(text);
    return null;
  }

  async function call(op, ...args) {
    const send = transport();
    if (!send) throw new BridgeError('no bridge to the program');
    const reply = await send(JSON.stringify({ op, args }));
    const answer = typeof reply === 'string' ? JSON.parse(reply) : reply;
    if (!answer || typeof answer !== 'object') throw new BridgeError('empty answer to ' + op);
    if ('error' in answer) throw new BridgeError(String(answer.error));
    return answer.result;
  }

  Termiva.bridge = { call, BridgeError, available: () => transport() !== null };
})();
