// The editor of a contact. Saving writes the whole contact: every list with
// every item that stays (by its key), because a modify empties the lists it
// is not given.
import { call, Refusal } from './rpc.js';
import { $, el, announce, clearAnnouncement, newId } from './dom.js';
import { tr } from './i18n.js';
import * as C from './contact.js';
import { panel, showCard, closePanel, fetchContact } from './card.js';
import { refresh } from './list.js';

const NUMBER_TYPES = ['', 'cell', 'home', 'work', 'fax', 'pager', 'other'];
const OTHER_TYPES = ['', 'home', 'work', 'other'];

// Each list of the contact: its text keys' prefix, the types offered (null:
// free text), whether its value spans lines.
const LISTS = [
  { field: 'telephoneNumbers', keys: 'numbers', types: NUMBER_TYPES, lines: false, input: 'tel' },
  { field: 'emails', keys: 'emails', types: OTHER_TYPES, lines: false, input: 'email' },
  { field: 'addresses', keys: 'addresses', types: OTHER_TYPES, lines: true },
  { field: 'labels', keys: 'labels', types: OTHER_TYPES, lines: true },
  { field: 'photos', keys: 'photos', types: null, lines: false, input: 'url' },
];

// Single-value fields: contact field (or name component), text key, input type.
const TEXT_FIELDS = [
  ['formattedName', 'formattedName', 'text'],
  ['givenName', 'givenName', 'text'],
  ['familyName', 'familyName', 'text'],
  ['additionalNames', 'additionalNames', 'text'],
  ['prefixes', 'prefixes', 'text'],
  ['suffixes', 'suffixes', 'text'],
  ['organisation', 'organisation', 'text'],
  ['title', 'jobTitle', 'text'],
  ['birthDay', 'birthDay', 'date'],
  ['url', 'url', 'url'],
  ['ringtone', 'ringtone', 'text'],
  ['tags', 'tags', 'text'],
];

function field([name, key, type], value) {
  const id = newId('f');
  const input = el('input', { id, name, type, value, autocomplete: 'off' });
  const hint = name === 'tags' ? el('span', { class: 'hint', id: `${id}-hint`, t: 'tagsHint' }) : null;
  if (hint) input.setAttribute('aria-describedby', hint.id);
  return el('div', { class: 'field' }, el('label', { for: id, t: key }), input, hint);
}

function typeControl(kind, value) {
  if (!kind.types) return el('input', { class: 'type', type: 'text', value: value || '' });
  const select = el('select', { class: 'type' });
  const options = kind.types.includes(value || '') ? kind.types : [...kind.types, value];
  for (const option of options) {
    const node = el('option', { value: option });
    if (kind.types.includes(option)) tr(node, `type.${option}`);
    else node.textContent = option;
    select.append(node);
  }
  select.value = value || '';
  return select;
}

// Labels carry the row's number; they are set again when rows go.
function labelRow(kind, row, n) {
  const p = { n };
  tr(row.querySelector('.value-label'), `${kind.keys}.value`, p);
  tr(row.querySelector('.type'), `${kind.keys}.type`, p, 'aria-label');
  tr(row.querySelector('.pref'), `${kind.keys}.pref`, p, 'aria-label');
  tr(row.querySelector('.remove'), `${kind.keys}.remove`, p, 'aria-label');
}

function relabel(kind, group) {
  group.querySelectorAll('.row').forEach((row, i) => labelRow(kind, row, i + 1));
}

function row(kind, group, item = {}) {
  const id = newId('v');
  const value = kind.lines
    ? el('textarea', { id, class: 'value', rows: '3' })
    : el('input', { id, class: 'value', type: kind.input, autocomplete: 'off' });
  value.value = item.name || '';
  const node = el(
    'div',
    { class: 'row' },
    el('label', { for: id, class: 'value-label' }),
    value,
    typeControl(kind, item.type),
    el(
      'label',
      { class: 'check' },
      el('input', { type: 'checkbox', class: 'pref', checked: !!item.preferred }),
      el('span', { t: 'card.preferred' }),
    ),
    el('button', { type: 'button', class: 'remove', text: '✕' }),
  );
  if (item.key) node.dataset.key = item.key;
  node.dataset.original = item.name || '';
  node.querySelector('.remove').addEventListener('click', () => {
    const next = node.nextElementSibling || group.querySelector('.add');
    node.remove();
    relabel(kind, group);
    (next.querySelector?.('.value') || next).focus();
  });
  return node;
}

function listGroup(kind, items) {
  const rows = el('div', { class: 'rows' });
  const group = el(
    'fieldset',
    { class: 'list', 'data-field': kind.field },
    el('legend', { t: `${kind.keys}.group` }),
    rows,
  );
  const add = el('button', { type: 'button', class: 'add', t: `${kind.keys}.add` });
  add.addEventListener('click', () => {
    const node = row(kind, group);
    rows.append(node);
    relabel(kind, group);
    node.querySelector('.value').focus();
  });
  group.append(add);
  rows.append(...items.map((item) => row(kind, group, item)));
  relabel(kind, group);
  return group;
}

function readItems(form, kind) {
  const group = form.querySelector(`fieldset[data-field="${kind.field}"]`);
  const items = [];
  for (const node of group.querySelectorAll('.row')) {
    let name = node.querySelector('.value').value.trim();
    if (!name) continue;
    if (kind.field === 'telephoneNumbers' && name !== node.dataset.original) {
      name = C.dialable(name);
      if (!C.isDialable(name))
        throw new Refusal('err.number', { number: node.querySelector('.value').value });
    }
    const item = {
      name,
      type: node.querySelector('.type').value.trim(),
      preferred: node.querySelector('.pref').checked,
    };
    if (node.dataset.key) item.key = node.dataset.key;
    items.push(item);
  }
  return items;
}

// The contact the form holds, every field and every list.
function collect(form, original) {
  const v = (name) => form.elements[name].value;
  const name = Object.fromEntries(C.NAME_PARTS.map((part) => [part, v(part)]));
  const formattedName = v('formattedName').trim() || C.nameFromParts(name);
  if (!formattedName) throw new Refusal('err.noName');
  const date = v('birthDay');
  const keepTime = original && C.dateOf(original.birthDay) === date;
  const contact = {
    formattedName,
    name: C.joinName(name),
    birthDay: keepTime ? original.birthDay : C.dateTimeOf(date),
    title: v('title').trim(),
    organisation: v('organisation').trim(),
    url: v('url').trim(),
    ringtone: v('ringtone').trim(),
    tags: C.tagsOf(v('tags')),
  };
  for (const kind of LISTS) contact[kind.field] = readItems(form, kind);
  return contact;
}

// Why the phonebook answered false: it does not say, so the page asks.
async function whyRefused(contact, original) {
  if (!original) {
    const [count, limit] = await Promise.all([call('getNumberOfContacts'), call('getMaxNumberOfContacts')]);
    if (count >= limit) return new Refusal('err.full', { limit });
  } else if (!(await fetchContact(original))) {
    return new Refusal('err.gone');
  }
  const holder = await call('getContact', { formattedName: contact.formattedName });
  if (holder && holder.key && (!original || holder.key !== original.key)) {
    return new Refusal('err.nameTaken', { name: contact.formattedName });
  }
  return new Refusal('err.refused');
}

function write(contact, original) {
  if (!original) return call('addContact', { contact: { uniqueID: '', ...contact } });
  if (original.uniqueID) return call('modifyContactByUniqueID', { uniqueID: original.uniqueID, contact });
  return call('modifyContact', { formattedName: original.formattedName, contact });
}

async function save(form, original, button) {
  button.disabled = true;
  try {
    const contact = collect(form, original);
    if (!(await write(contact, original))) throw await whyRefused(contact, original);
    const saved = await call('getContact', { formattedName: contact.formattedName });
    showCard(saved && saved.key ? saved : { ...original, ...contact });
    announce('saved', { name: contact.formattedName });
    refresh();
  } catch (refusal) {
    announce(refusal);
  } finally {
    button.disabled = false;
  }
}

async function cancel(original) {
  clearAnnouncement();
  const now = original && (await fetchContact(original).catch(() => original));
  if (now) showCard(now);
  else closePanel(null);
}

// Opens the editor on contact, or on a new contact when there is none.
export function showEditor(original = null) {
  clearAnnouncement();
  panel.mode = original ? 'edit' : 'new';
  panel.contact = original;
  const c = original || {};
  const name = C.splitName(c.name);
  const values = { ...c, ...name, birthDay: C.dateOf(c.birthDay) };
  const headingId = newId('editor');
  const save_ = el('button', { type: 'submit', class: 'primary', t: 'save' });
  const form = el(
    'form',
    { class: 'editor', 'aria-labelledby': headingId, novalidate: true },
    el('h2', { id: headingId, t: original ? 'editor.edit' : 'editor.new' }),
    el('p', { class: 'changed notice', hidden: true }),
    el('div', { class: 'fields-grid' }, ...TEXT_FIELDS.map((f) => field(f, values[f[0]] || ''))),
    ...LISTS.map((kind) => listGroup(kind, c[kind.field] || [])),
    el(
      'div',
      { class: 'actions' },
      save_,
      el('button', { type: 'button', t: 'cancel', on: { click: () => cancel(original) } }),
    ),
  );
  form.addEventListener('submit', (event) => {
    event.preventDefault();
    save(form, original, save_);
  });
  $('panel').replaceChildren(form);
  form.elements.formattedName.focus();
}
