// The list of 2 000 contacts: its pages, the letter bar, the search box, and
// changes made by another client.
import assert from 'node:assert/strict';
import { webSuite, makeContacts, listedNames, until } from './fixture.mjs';

const PLUMBER = { uniqueID: 'plumb', formattedName: 'Harald Wasser',
  emails: [{ name: 'rohrfrei@plumbing.example', type: 'work' }],
  telephoneNumbers: [{ name: '0221987654', type: 'work' }] };
const CONTACTS = [...makeContacts(1999), PLUMBER];
const collator = new Intl.Collator('en');
const SORTED = CONTACTS.map((c) => c.formattedName).sort(collator.compare);

const suite = webSuite({ setup: (servers) => servers.seed(CONTACTS) });

suite.test('paging shows every contact once, in order; the letter bar jumps; the search narrows', async (session) => {
  const page = await session.openAs('viewer');
  await page.getByRole('status').filter({ hasText: /of 2000/ }).waitFor();
  const previous = page.getByRole('button', { name: 'Previous page' });
  const next = page.getByRole('button', { name: 'Next page' });
  assert.ok(await previous.isDisabled(), 'Previous page on the first page');
  let names = await listedNames(page);
  const seen = [...names];
  while (await next.isEnabled()) {
    await next.click();
    const first = names[0];
    await until(page, (shown) => shown.length > 0 && shown[0] !== first);
    names = await listedNames(page);
    seen.push(...names);
  }
  assert.deepEqual(seen, SORTED);

  const letters = page.getByRole('navigation', { name: 'Jump to letter' });
  for (const letter of ['M', 'Z', 'A', 'Q']) {
    await letters.getByRole('button', { name: letter, exact: true }).click();
    const at = SORTED.findIndex((n) => n[0] >= letter);
    await until(page, (shown) => shown[0] === SORTED[at]);
    const shown = await listedNames(page);
    assert.deepEqual(shown, SORTED.slice(at, at + shown.length), `after ${letter}`);
  }

  // Names, e-mails and the digits of numbers; the first page of what was
  // found: all of it, or a full page of it.
  const search = page.getByRole('searchbox', { name: 'Search' });
  const cases = [
    ['mertens', (c) => c.formattedName.startsWith('Mertens ')],
    ['ROHRFREI', (c) => c === PLUMBER],
    ['500-1234', (c) => c.uniqueID === 'c1234'],
  ];
  for (const [text, match] of cases) {
    const expected = CONTACTS.filter(match).map((c) => c.formattedName).sort(collator.compare);
    await search.fill(text);
    await until(page, (shown) => shown.length <= expected.length && shown.every((n, i) => n === expected[i]) &&
      (shown.length === expected.length || shown.length >= 20)).catch((e) => assert.fail(`${text}: ${e.message}`));
  }
  await search.fill('');
  await until(page, (shown) => shown[0] === SORTED[0]);
});

suite.test('changes by another client show in the open page', async (session, servers) => {
  const page = await session.openAs('viewer');
  await until(page, (shown) => shown[0] === SORTED[0]);
  const entry = (await servers.call('getContact', { formattedName: SORTED[0] })).key;
  const cases = [
    [['call', 'Phonebook', 'addContact', 'contact={"uniqueID": "aaron", "formattedName": "Aaron Aaberg"}'],
      (shown) => shown[0] === 'Aaron Aaberg'],
    [['set', `Phonebook.Entry.${entry}.`, 'FormattedName=Aaron Aaberg 2'],
      (shown) => shown.includes('Aaron Aaberg 2') && !shown.includes(SORTED[0])],
    [['call', 'Phonebook', 'removeContact', 'formattedName=Aaron Aaberg'],
      (shown) => !shown.includes('Aaron Aaberg') && shown[0] === 'Aaron Aaberg 2'],
  ];
  for (const [args, condition] of cases) {
    const r = await servers.zebCli(...args);
    assert.equal(r.status, 0, r.stderr);
    await until(page, condition, 5000).catch((e) => assert.fail(`${args.join(' ')}: ${e.message}`));
  }
});
