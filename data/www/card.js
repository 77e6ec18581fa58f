// The panel beside the list: a contact's card, or the editor. It follows
// the events so that what it shows is the contact as it is now.
import { call } from './rpc.js';
import { $, el, announce, confirmDialog, newId } from './dom.js';
import { tr } from './i18n.js';
import { session, splitName, dateOf, NAME_PARTS } from './contact.js';
import { refresh } from './list.js';
import { showEditor } from './editor.js';

// mode: "" (empty), "card", "edit" or "new"; contact: the one shown or edited.
export const panel = { mode: '', contact: null };

const TEXT_FIELDS = [
  ['organisation', 'organisation'],
  ['title', 'jobTitle'],
  ['url', 'url'],
  ['ringtone', 'ringtone'],
  ['tags', 'tags'],
];

const KNOWN_TYPES = ['cell', 'home', 'work', 'fax', 'pager', 'other'];

const LISTS = ['telephoneNumbers', 'emails', 'addresses', 'labels', 'photos'];
const LIST_GROUP = {
  telephoneNumbers: 'numbers.group',
  emails: 'emails.group',
  addresses: 'addresses.group',
  labels: 'labels.group',
  photos: 'photos.group',
};

function pair(key, value) {
  if (!value) return [];
  return [el('dt', { t: key }), el('dd', {}, value)];
}

function itemText(item) {
  const li = el('li', {}, el('span', { class: 'value', text: item.name }));
  if (item.type) {
    const type = KNOWN_TYPES.includes(item.type) ? el('span', { t: `type.${item.type}` }) : item.type;
    li.append(' ', el('span', { class: 'muted' }, '(', type, ')'));
  }
  if (item.preferred) li.append(' ', el('span', { class: 'badge', t: 'card.preferred' }));
  return li;
}

function listPair(contact, list) {
  const items = contact[list] || [];
  if (!items.length) return [];
  return [
    el('dt', { t: LIST_GROUP[list] }),
    el('dd', {}, el('ul', { class: 'items' }, ...items.map(itemText))),
  ];
}

function fields(contact) {
  const name = splitName(contact.name);
  const nameRows = NAME_PARTS.flatMap((part) => pair(part, name[part]));
  const textRows = TEXT_FIELDS.flatMap(([field, key]) => pair(key, contact[field]));
  return el(
    'dl',
    { class: 'fields' },
    ...nameRows,
    ...pair('birthDay', dateOf(contact.birthDay)),
    ...textRows,
    ...LISTS.flatMap((list) => listPair(contact, list)),
    ...pair('card.uid', contact.uniqueID),
    ...pair('card.revision', (contact.lastRevision || '').replace('T', ' ').replace('Z', '')),
  );
}

function actions(contact) {
  const bar = el('div', { class: 'actions' });
  if (session.canEdit) {
    bar.append(
      el('button', { type: 'button', t: 'edit', on: { click: () => showEditor(contact) } }),
      el('button', {
        type: 'button',
        class: 'danger',
        t: 'delete',
        on: { click: () => deleteContact(contact) },
      }),
    );
  }
  bar.append(el('button', { type: 'button', t: 'close', on: { click: () => closePanel(contact) } }));
  return bar;
}

export function showCard(contact, { focus = true } = {}) {
  panel.mode = 'card';
  panel.contact = contact;
  const headingId = newId('card');
  const heading = el('h2', { id: headingId, tabindex: '-1' });
  if (contact.formattedName) heading.textContent = contact.formattedName;
  else tr(heading, 'noName');
  const card = el(
    'section',
    { class: 'card', 'aria-labelledby': headingId },
    heading,
    fields(contact),
    actions(contact),
  );
  $('panel').replaceChildren(card);
  if (focus) heading.focus();
}

export function closePanel(contact) {
  panel.mode = '';
  panel.contact = null;
  $('panel').replaceChildren();
  const key = contact && contact.key;
  const inList = key && $('list').querySelector(`button[data-key="${CSS.escape(key)}"]`);
  (inList || $('search')).focus();
}

// Reads a contact again by its identifier, else by its name.
export async function fetchContact(contact) {
  const found = contact.uniqueID
    ? await call('getContactByUniqueID', { uniqueID: contact.uniqueID })
    : await call('getContact', { formattedName: contact.formattedName });
  return found && found.key ? found : null;
}

async function deleteContact(contact) {
  const name = contact.formattedName;
  if (!(await confirmDialog('confirm.delete.title', 'confirm.delete.text', { name }, 'delete'))) return;
  try {
    const removed = contact.uniqueID
      ? await call('removeContactByUniqueID', { uniqueID: contact.uniqueID })
      : await call('removeContact', { formattedName: name });
    announce(removed ? 'deleted' : 'err.gone', { name });
    closePanel(null);
    await refresh();
  } catch (refusal) {
    announce(refusal);
  }
}

// A notification about contact: the card shows it as it is now; the editor
// keeps what is typed and says that saving replaces the other change.
export function contactEvent(name, contact) {
  const shown = panel.contact;
  if (!shown || !contact || shown.key !== contact.key) return;
  if (panel.mode === 'card') {
    if (name === 'contactDeleted') {
      closePanel(null);
      announce('card.deleted');
    } else {
      const hadFocus = $('panel').contains(document.activeElement);
      showCard(contact, { focus: hadFocus });
    }
  } else if (panel.mode === 'edit') {
    const note = $('panel').querySelector('.changed');
    if (note) {
      note.hidden = false;
      tr(note, name === 'contactDeleted' ? 'card.deleted' : 'card.changed');
    }
  }
}

// After a reset of the event stream the shown contact is read again.
export async function reloadPanel() {
  if (panel.mode !== 'card') return;
  const fresh = await fetchContact(panel.contact).catch(() => panel.contact);
  if (fresh) showCard(fresh, { focus: false });
  else closePanel(null);
}
