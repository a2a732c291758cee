// The tab bar: one tab per open terminal in the program's tab order, its caption, a dot
// for its state (connecting, connected, ended) and a close button. Tabs keep one width
// whichever is active, so a close button never moves under the pointer; what does not
// fit scrolls, and the active tab is kept in view whenever the strip changes size.
(function () {
  'use strict';
  const Termiva = (window.Termiva = window.Termiva || {});
  const { t } = Termiva.i18n;

  const ICON_CLOSE =
    '<svg viewBox="0 0 12 12" aria-hidden="true"><path d="M3 3l6 6M9 3l-6 6" ' +
    'stroke="currentColor" stroke-width="1.5" stroke-linecap="round"/></svg>';

  class TabBar {
    constructor(barEl, { onSelect, onClose }) {
      this.barEl = barEl;
      this.onSelect = onSelect;
      this.onClose = onClose;
      barEl.addEventListener('click', (e) => {
        const tab = e.target.closest('.tab');
        if (!tab) return;
        if (e.target.closest('.tab-close')) this.onClose(tab.dataset.id);
        else this.onSelect(tab.dataset.id);
      });
      barEl.addEventListener('auxclick', (e) => {
        const tab = e.target.closest('.tab');
        if (tab && e.button === 1) this.onClose(tab.dataset.id);
      });
      // The strip has no scroll bar: a vertical wheel moves it sideways.
      barEl.addEventListener(
        'wheel',
        (e) => {
          if (!e.deltaY || barEl.scrollWidth <= barEl.clientWidth) return;
          barEl.scrollLeft += e.deltaY;
          e.preventDefault();
        },
        { passive: false },
      );
      // A panel opening beside the strip or a toolbar appearing narrows it.
      if (window.ResizeObserver) new ResizeObserver(() => this.reveal()).observe(barEl);
    }

    // Scrolls the strip (only the strip) so the active tab is wholly in view.
    reveal() {
      const active = this.barEl.querySelector('.tab-active');
      if (!active) return;
      const left = active.offsetLeft;
      const right = left + active.offsetWidth;
      const bar = this.barEl;
      if (left < bar.scrollLeft) bar.scrollLeft = left;
      else if (right > bar.scrollLeft + bar.clientWidth) bar.scrollLeft = right - bar.clientWidth;
    }

    // `tabs`: [{id, display, protocol, alive, state, logging}] in order; `activeId` the shown tab.
    render(tabs, activeId) {
      this.barEl.textContent = '';
      for (const tab of tabs) {
        const el = document.createElement('div');
        el.className = 'tab' + (tab.id === activeId ? ' tab-active' : '');
        el.dataset.id = tab.id;
        el.dataset.state = tab.state;
        el.setAttribute('role', 'tab');
        el.setAttribute('aria-selected', tab.id === activeId ? 'true' : 'false');
        // The caption may be cut: the tooltip gives the whole name.
        el.title = tab.display + ' — ' + t('tab.state_' + tab.state);

        const dot = document.createElement('span');
        dot.className = 'tab-dot';
        const caption = document.createElement('span');
        caption.className = 'tab-caption';
        caption.textContent = tab.display;
        const close = document.createElement('button');
        close.type = 'button';
        close.className = 'tab-close';
        close.title = t('tab.close');
        close.setAttribute('aria-label', t('tab.close'));
        close.innerHTML = ICON_CLOSE;
        el.append(dot, caption);
        if (tab.logging) {
          // Logged to a file: the tab says so as long as it lasts.
          el.classList.add('tab-logging');
          const rec = document.createElement('span');
          rec.className = 'tab-log-mark';
          rec.textContent = t('tab.logging_mark');
          rec.title = t('tab.logging');
          el.append(rec);
        }
        el.append(close);
        this.barEl.appendChild(el);
      }
      this.reveal();
    }
  }

  Termiva.TabBar = TabBar;
})();
