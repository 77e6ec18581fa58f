// The contact list: a page of the phonebook in its sort order, or of the
// contacts a search finds. Only the latest request's answer is shown, so a
// slow answer to an earlier key press never replaces a newer one.
import { call } from './rpc.js';
import { $, el, announce } from './dom.js';
import { tr } from './i18n.js';

const PAGE = 50;
const SEARCH_DELAY_MS = 40;
const LETTERS = 'ABCDEFGHIJKLMNOPQRSTUVWXYZ';
// Letters that the language of the phonebook's order sorts after Z.
const LETTERS_AFTER_Z = { sv: 'ÅÄÖ', fi: 'ÅÄÖ', da: 'ÆØÅ', nb: 'ÆØÅ', nn: 'ÆØÅ', no: 'ÆØÅ' };

// asked: the page asked for last ({fn, args}), which a refresh asks for again,
// so that a refresh never undoes a page turn or a jump still on its way.
const state = { offset: 0, total: 0, text: '', contacts: [], latest: 0, timer: 0, asked: null };
let onOpen = () => {};

function preferredNumber(contact) {
  const numbers = contact.telephoneNumbers || [];
  const pick = numbers.find((n) => n.preferred) || numbers[0];
  return pick ? pick.name : '';
}

function item(contact) {
  const button = el('button', { type: 'button', class: 'name', 'data-key': contact.key });
  if (contact.formattedName) button.textContent = contact.formattedName;
  else tr(button, 'noName');
  button.addEventListener('click', () => onOpen(contact, button));
  const detail = [contact.organisation, preferredNumber(contact)].filter(Boolean).join(' · ');
  return el('li', {}, button, detail ? el('span', { class: 'detail', text: detail }) : null);
}

function render() {
  const list = $('list');
  const focusedKey = list.contains(document.activeElement) ? document.activeElement.dataset.key : null;
  list.replaceChildren(...state.contacts.map(item));
  const first = state.total ? state.offset + 1 : 0;
  const last = state.offset + state.contacts.length;
  const params = { first, last, total: state.total, text: state.text };
  if (state.total === 0) tr($('liststatus'), state.text ? 'noneFound' : 'none', params);
  else tr($('liststatus'), state.text ? 'found' : 'range', params);
  $('prev').disabled = state.offset === 0;
  $('next').disabled = last >= state.total;
  if (focusedKey) {
    const again = list.querySelector(`button[data-key="${CSS.escape(focusedKey)}"]`);
    (again || $('search')).focus();
  }
}

// Asks for one page; shows it unless a later request was made meanwhile.
async function load(fn, args) {
  const ticket = ++state.latest;
  let page;
  try {
    page = await call(fn, { count: PAGE, ...args });
  } catch (refusal) {
    if (ticket === state.latest) announce(refusal);
    return false;
  }
  if (ticket !== state.latest) return false;
  if (!page || page.error) {
    announce('err.bus', { message: page ? page.error : '' });
    return false;
  }
  // Past the end (the page's contacts were deleted, or nothing sorts after
  // the letter): show the last page instead of an empty one.
  if (!page.contacts.length && page.total > 0 && page.offset > 0) {
    const rest = { ...args };
    delete rest.from;
    return load(fn, { ...rest, offset: Math.floor((page.total - 1) / PAGE) * PAGE });
  }
  state.total = page.total;
  state.offset = page.offset;
  // Where the page is, rather than how it was found (a letter), from now on.
  const at = { offset: page.offset };
  state.asked = state.text
    ? { fn: 'searchContacts', args: { text: state.text, ...at } }
    : { fn: 'getContactsRange', args: at };
  state.contacts = page.contacts;
  render();
  return true;
}

function ask(fn, args) {
  state.asked = { fn, args };
  return load(fn, args);
}

function loadAt(offset) {
  const at = Math.max(0, offset);
  if (state.text) return ask('searchContacts', { text: state.text, offset: at });
  return ask('getContactsRange', { offset: at });
}

// Shows the current page again, e.g. after a change elsewhere.
export function refresh() {
  return state.asked ? load(state.asked.fn, state.asked.args) : loadAt(0);
}

export function reset() {
  state.text = '';
  $('search').value = '';
  return loadAt(0);
}

function jump(letter) {
  state.text = '';
  $('search').value = '';
  return letter === '#' ? loadAt(0) : ask('getContactsRange', { from: letter });
}

function onSearchInput() {
  clearTimeout(state.timer);
  state.timer = setTimeout(() => {
    state.text = $('search').value.trim();
    loadAt(0);
  }, SEARCH_DELAY_MS);
}

function turn(delta) {
  const asked = state.asked && state.asked.args.offset;
  loadAt((asked ?? state.offset) + delta).then((shown) => {
    if (!shown) return;
    const target = $(delta < 0 ? 'prev' : 'next');
    if (target.disabled) $('list').querySelector('button')?.focus();
  });
}

// The letter bar is one stop of the tab order; the arrow keys, Home and End
// move within it.
const LETTER_KEYS = {
  ArrowLeft: -1,
  ArrowUp: -1,
  ArrowRight: 1,
  ArrowDown: 1,
  Home: -Infinity,
  End: Infinity,
};

function moveInLetters(event) {
  const step = LETTER_KEYS[event.key];
  if (!step) return;
  event.preventDefault();
  const buttons = [...$('letters').querySelectorAll('button')];
  const at = buttons.indexOf(document.activeElement);
  const to = Math.min(buttons.length - 1, Math.max(0, (Number.isFinite(step) ? at : 0) + step));
  buttons.forEach((b, i) => b.setAttribute('tabindex', i === to ? '0' : '-1'));
  buttons[to].focus();
}

export function initList(open) {
  onOpen = open;
  showLetters('');
  $('letters').addEventListener('keydown', moveInLetters);
  $('search').addEventListener('input', onSearchInput);
  $('prev').addEventListener('click', () => turn(-PAGE));
  $('next').addEventListener('click', () => turn(PAGE));
}

// The letter bar for the phonebook's sort locale ("" for the root order).
export function showLetters(locale) {
  const extra = LETTERS_AFTER_Z[locale.toLowerCase().split(/[-_]/)[0]] || '';
  $('letters').replaceChildren(
    ...[...LETTERS, ...extra, '#'].map((letter, i) =>
      el('button', {
        type: 'button',
        text: letter,
        tabindex: i ? '-1' : '0',
        on: { click: () => jump(letter) },
      }),
    ),
  );
}
