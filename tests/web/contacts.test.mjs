// Contacts changed in the page: added, edited field by field, deleted; a
// hostile name; a number looked up.
import assert from 'node:assert/strict';
import { webSuite, openContact, contactList, until } from './fixture.mjs';

const HOSTILE = '<img src=x onerror=alert(1)> Ärger';

const suite = webSuite({
  setup: (servers) => servers.seed([
    { uniqueID: 'ann', formattedName: 'Ann Smith', name: 'Smith;Ann', title: 'Dr',
      telephoneNumbers: [{ name: '0611223344', type: 'cell', preferred: true },
        { name: '0695551234', type: 'work', preferred: false }],
      emails: [{ name: 'ann@example.org', type: 'home', preferred: false }],
      labels: [{ name: 'Gate code 4711', type: 'home', preferred: false }],
      photos: [{ name: 'urn:test:ann-photo', type: '', preferred: false }] },
    { uniqueID: 'bob', formattedName: 'Bob Brown', photos: [{ name: 'urn:test:bob-photo', type: '', preferred: false }] },
    { uniqueID: 'eve', formattedName: 'Eve Adams', telephoneNumbers: [{ name: '+33612345678', type: 'cell' }] },
  ]),
});

const editor = (page) => page.getByRole('form', { name: /^(New|Edit) contact$/ });
const field = (page, name) => page.getByRole('textbox', { name, exact: true });

async function save(page) {
  await editor(page).getByRole('button', { name: 'Save' }).click();
  await editor(page).waitFor({ state: 'hidden' });
}

suite.test('a contact added in the page is stored, listed and shown', async (session, servers) => {
  const page = await session.openAs('editor');
  await page.getByRole('button', { name: 'New contact' }).click();
  await page.getByRole('form', { name: 'New contact' }).waitFor();
  await field(page, 'Formatted name').fill('Carl Plumber');
  await page.getByRole('button', { name: 'Add number' }).click();
  await field(page, 'Number 1').fill('0301234567');
  await save(page);

  await page.getByRole('region', { name: 'Carl Plumber' }).waitFor();
  const stored = await servers.call('getContact', { formattedName: 'Carl Plumber' });
  assert.deepEqual(stored.telephoneNumbers.map((n) => n.name), ['0301234567']);

  // A second contact of the same name is refused in words, and not stored.
  await page.getByRole('button', { name: 'New contact' }).click();
  await field(page, 'Formatted name').fill('Carl Plumber');
  await editor(page).getByRole('button', { name: 'Save' }).click();
  await page.getByRole('alert').filter({ hasText: /\w{4,}/ }).waitFor();
  assert.equal((await servers.call('searchContacts', { text: 'Carl' })).total, 1);
  assert.ok(await editor(page).isVisible(), 'the editor closed over a refused save');
  await editor(page).getByRole('button', { name: 'Cancel' }).click();
});

const EVERY_TEXT_FIELD = [
  ['Formatted name', 'Robert Brown-Ärger', (c) => c.formattedName],
  ['Family name', 'Brown', (c) => c.name.split(';')[0]],
  ['Given name', 'Robert', (c) => c.name.split(';')[1]],
  ['Additional names', 'James', (c) => c.name.split(';')[2]],
  ['Honorific prefixes', 'Dr.', (c) => c.name.split(';')[3]],
  ['Honorific suffixes', 'Jr.', (c) => c.name.split(';')[4]],
  ['Organisation', 'Brown & Söhne', (c) => c.organisation],
  ['Title', 'Master plumber', (c) => c.title],
  ['URL', 'http://brown.example/', (c) => c.url],
  ['Ringtone', 'bells', (c) => c.ringtone],
  ['Tags', 'family, plumber', (c) => c.tags.split(',').map((t) => t.trim()).join(', ')],
];

suite.test('every field edited in the page is stored and shown again', async (session, servers) => {
  const page = await session.openAs('editor');
  await openContact(page, 'Bob Brown');
  await page.getByRole('button', { name: 'Edit', exact: true }).click();
  await page.getByRole('form', { name: 'Edit contact' }).waitFor();
  for (const [name, value] of EVERY_TEXT_FIELD) await field(page, name).fill(value);
  await page.getByLabel('Birthday').fill('1984-07-14');
  for (const [add, rows] of [['Add number', 2], ['Add e-mail', 1], ['Add address', 1], ['Add label', 1]])
    for (let i = 0; i < rows; i++) await page.getByRole('button', { name: add }).click();
  await field(page, 'Number 1').fill('0301234567');
  await page.getByLabel('Number 1 type').selectOption('work');
  await field(page, 'Number 2').fill('0171555666');
  await page.getByLabel('Number 2 type').selectOption('cell');
  await page.getByLabel('Number 2 preferred').check();
  await field(page, 'E-mail 1').fill('bob@brown.example');
  await field(page, 'Address 1').fill('Hauptstraße 1\n50667 Köln\nGermany');
  await page.getByLabel('Address 1 type').selectOption('home');
  await field(page, 'Label 1').fill('Ring twice');
  await save(page);

  const stored = await servers.call('getContactByUniqueID', { uniqueID: 'bob' });
  for (const [name, value, read] of EVERY_TEXT_FIELD) assert.equal(read(stored), value, name);
  assert.equal(stored.birthDay, '1984-07-14T00:00:00Z');
  assert.deepEqual(stored.telephoneNumbers.map(({ name, type, preferred }) => [name, type, preferred]),
    [['0301234567', 'work', false], ['0171555666', 'cell', true]]);
  assert.deepEqual(stored.emails.map((e) => e.name), ['bob@brown.example']);
  assert.deepEqual(stored.addresses.map(({ name, type }) => [name, type]), [['Hauptstraße 1\n50667 Köln\nGermany', 'home']]);
  assert.deepEqual(stored.labels.map((l) => l.name), ['Ring twice']);

  await openContact(page, 'Robert Brown-Ärger');
  await page.getByRole('button', { name: 'Edit', exact: true }).click();
  // An edit of one field keeps every other field and list, the photo the
  // page does not show too.
  await field(page, 'Title').fill('Prof');
  await save(page);
  const after = await servers.call('getContactByUniqueID', { uniqueID: 'bob' });
  assert.equal(after.title, 'Prof');
  const kept = (c) => [c.name, ...['telephoneNumbers', 'emails', 'labels', 'addresses', 'photos']
    .map((list) => c[list].map(({ name, type, preferred }) => ({ list, name, type, preferred })))];
  assert.deepEqual(kept(after), kept(stored));
  assert.equal(after.photos.length, 1);
});

suite.test('a name made of markup is shown as text and runs nothing', async (session, servers) => {
  await servers.call('addContact', { contact: { uniqueID: 'evil', formattedName: HOSTILE, organisation: '<b>bold</b>',
    emails: [{ name: '"><svg onload=alert(2)>@x.example', type: '<i>t</i>' }] } });
  const page = await session.openAs('admin');
  await page.getByRole('searchbox', { name: 'Search' }).fill('Ärger');
  await until(page, (shown) => shown.length > 0 && shown.every((name) => name.includes('Ärger')));
  const card = await openContact(page, HOSTILE);
  const text = await card.innerText();
  for (const verbatim of ['<b>bold</b>', '"><svg onload=alert(2)>@x.example'])
    assert.ok(text.includes(verbatim), `${verbatim} not shown as text`);
  await card.getByRole('button', { name: 'Edit', exact: true }).click();
  assert.equal(await field(page, 'Formatted name').inputValue(), HOSTILE);
  await editor(page).getByRole('button', { name: 'Cancel' }).click();

  const injected = await page.evaluate(() => ({
    img: document.querySelectorAll('img[src="x"], img[onerror]').length,
    markup: document.querySelectorAll('b, i, svg[onload]').length,
  }));
  assert.deepEqual(injected, { img: 0, markup: 0 });
  assert.deepEqual(session.dialogs, []);
  assert.deepEqual(session.log.filter((l) => / error: /.test(l) && !/Failed to load resource/.test(l)), []);
});

suite.test('a number looked up in any notation names its contact', async (session) => {
  const page = await session.openAs('viewer');
  const cases = [
    ['06 12 34 56 78', 'Eve Adams'],
    ['0611 22 33 44', 'Ann Smith'],
    ['+33 6 12-34-56-78', 'Eve Adams'],
    ['0999 000', 'No contact has this number.'],
  ];
  const result = page.getByRole('status', { name: 'Lookup result' });
  for (const [number, expected] of cases) {
    await page.getByRole('textbox', { name: 'Look up a number' }).fill(number);
    await page.getByRole('button', { name: 'Look up', exact: true }).click();
    await result.filter({ hasText: expected }).waitFor({ timeout: 5000 }).catch(async () => {
      assert.fail(`${number}: "${await result.innerText()}", not ${expected}`);
    });
  }
});

suite.test('deleting asks first, and "delete all" asks twice', async (session, servers) => {
  const page = await session.openAs('editor');
  const confirm = async (button, answer) => {
    await page.getByRole('button', { name: button, exact: true }).click();
    const dialog = page.getByRole('alertdialog');
    await dialog.waitFor();
    await dialog.getByRole('button', { name: answer, exact: true }).click();
    await dialog.waitFor({ state: 'hidden' });
  };
  await openContact(page, 'Eve Adams');
  await confirm('Delete', 'Cancel');
  assert.equal((await servers.call('getContact', { formattedName: 'Eve Adams' })).uniqueID, 'eve');
  await confirm('Delete', 'Delete');
  assert.deepEqual(await servers.call('getContact', { formattedName: 'Eve Adams' }), {});
  await contactList(page).getByRole('button', { name: 'Eve Adams' }).waitFor({ state: 'detached' });

  // "Delete all" asks twice: cancelled at the second question, nothing goes.
  const count = await servers.call('getNumberOfContacts');
  const dialog = page.getByRole('alertdialog');
  for (const last of ['Cancel', 'Delete all']) {
    await page.getByRole('button', { name: 'Delete all contacts' }).click();
    await dialog.getByRole('button', { name: 'Delete', exact: true }).click();
    await dialog.getByRole('button', { name: 'Delete all', exact: true }).waitFor();
    assert.equal(await servers.call('getNumberOfContacts'), count, 'removed after the first confirmation');
    await dialog.getByRole('button', { name: last, exact: true }).click();
  }
  await contactList(page).getByRole('listitem').first().waitFor({ state: 'detached' });
  assert.equal(await servers.call('getNumberOfContacts'), 0);
});
