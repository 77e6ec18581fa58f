// Building the page. Texts from the phonebook go in as text nodes only:
// el() has no way to put markup into the page.
import { tr } from './i18n.js';

// An element: props holds attributes (class, id, type, ...), "text" for a
// literal text, "t"/"tp"/"ta" for a translated one, and "on" for listeners.
// Children are nodes or texts.
export function el(tag, props = {}, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(props)) {
    if (value === undefined || value === null || value === false) continue;
    if (name === 'text') node.textContent = value;
    else if (name === 'on') for (const [ev, fn] of Object.entries(value)) node.addEventListener(ev, fn);
    else if (name === 't' || name === 'tp' || name === 'ta') continue;
    else if (value === true) node.setAttribute(name, '');
    else node.setAttribute(name, value);
  }
  if (props.t) tr(node, props.t, props.tp, props.ta);
  for (const child of children) {
    if (child === null || child === undefined || child === false) continue;
    node.append(typeof child === 'string' ? document.createTextNode(child) : child);
  }
  return node;
}

export const $ = (id) => document.getElementById(id);

let idCounter = 0;
export const newId = (prefix) => `${prefix}-${++idCounter}`;

// Shows a message in the page's alert region: a text key, or a refusal of
// rpc.js (anything else thrown is shown as an unknown fault).
export function announce(what, params) {
  const isKey = typeof what === 'string';
  const key = isKey ? what : what.key || 'err.unknown';
  const p = isKey ? params : what.params || { code: String(what.message || what) };
  const region = $('alert');
  region.replaceChildren(tr(el('span'), key, p));
  region.classList.toggle('ok', !key.startsWith('err.'));
  region.hidden = false;
}

export function clearAnnouncement() {
  $('alert').replaceChildren();
  $('alert').hidden = true;
}

// Asks to confirm a deletion in a modal alert dialog; resolves true for the
// confirming button, false for Cancel or Escape. Cancel has the focus.
export function confirmDialog(titleKey, textKey, params, okKey) {
  const dialog = $('confirm');
  tr($('confirm-h'), titleKey);
  tr($('confirm-text'), textKey, params);
  tr($('confirm-ok'), okKey);
  const opener = document.activeElement;
  return new Promise((resolve) => {
    const done = (answer) => {
      $('confirm-ok').onclick = null;
      $('confirm-cancel').onclick = null;
      dialog.onclose = null;
      if (dialog.open) dialog.close();
      if (opener && opener.isConnected) opener.focus();
      resolve(answer);
    };
    $('confirm-ok').onclick = () => done(true);
    $('confirm-cancel').onclick = () => done(false);
    // A close event still queued from the previous question finds the
    // dialog open again and is not this question's answer.
    dialog.onclose = () => dialog.open || done(false);
    dialog.showModal();
    $('confirm-cancel').focus();
  });
}
