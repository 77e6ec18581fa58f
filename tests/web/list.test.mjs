// The list of 2 000 contacts: its pages, the letter bar, the search box, the
// order of another language, and changes made by another client.
import assert from 'node:assert/strict';
import { webSuite, Servers, makeContacts, listedNames, login } from './fixture.mjs';

const PLUMBER = { uniqueID: 'plumb', formattedName: 'Harald Wasser',
  emails: [{ name: 'rohrfrei@plumbing.example', type: 'work' }],
  telephoneNumbers: [{ name: '0221987654', type: 'work' }] };
const CONTACTS = [...makeContacts(1999), PLUMBER];
const collator = new Intl.Collator('en');
const SORTED = CONTACTS.map((c) => c.formattedName).sort(collator.compare);

const suite = webSuite(import.meta.filename, { setup: (servers) => servers.seed(CONTACTS) });

/* Waits until the list's first name is no longer `first`; answers the names. */
async function nextNames(page, first, timeout = 10000) {
  for (const deadline = Date.now() + timeout; Date.now() < deadline;) {
    const names = await listedNames(page);
    if (names.length && names[0] !== first) return names;
    await page.waitForTimeout(20);
  }
  throw new Error(`the list still starts with ${first}`);
}

/* Polls `condition` (on the page's list) until true; answers the ms taken. */
async function until(page, condition, timeout = 10000) {
  const start = performance.now();
  for (const deadline = Date.now() + timeout; Date.now() < deadline;) {
    if (condition(await listedNames(page))) return performance.now() - start;
    await page.waitForTimeout(10);
  }
  throw new Error(`the list never became as expected: ${(await listedNames(page)).slice(0, 5)}`);
}

suite.test('paging shows every contact once, in order, and the letter bar jumps', async (session) => {
  const page = await session.openAs('viewer');
  const status = page.getByRole('status').filter({ hasText: /of 2000/ });
  await status.waitFor();
  const previous = page.getByRole('button', { name: 'Previous page' });
  const next = page.getByRole('button', { name: 'Next page' });
  assert.ok(await previous.isDisabled(), 'Previous page on the first page');

  let names = await listedNames(page);
  const seen = [...names];
  while (await next.isEnabled()) {
    await next.click();
    names = await nextNames(page, names[0]);
    seen.push(...names);
  }
  assert.equal(seen.length, SORTED.length);
  assert.deepEqual(seen, SORTED);
  assert.ok(await previous.isEnabled());

  const letters = page.getByRole('navigation', { name: 'Jump to letter' });
  for (const letter of ['M', 'Z', 'A', 'Q']) {
    await letters.getByRole('button', { name: letter, exact: true }).click();
    const at = SORTED.findIndex((n) => n[0] >= letter);
    await until(page, (shown) => shown[0] === SORTED[at]);
    const shown = await listedNames(page);
    assert.deepEqual(shown, SORTED.slice(at, at + shown.length), `after ${letter}`);
  }
});

suite.test('a page turn is not undone by a change that arrives meanwhile', async (session, servers) => {
  const page = await session.openAs('viewer');
  await until(page, (shown) => shown[0] === SORTED[0]);
  // The next page's answer is held until a change elsewhere has made the
  // page look again.
  let release;
  const held = new Promise((resume) => (release = resume));
  let asked;
  const turned = new Promise((resume) => (asked = resume));
  await page.route('**/rpc', async (route) => {
    if (/"offset":\s*50\b/.test(route.request().postData() ?? '')) {
      asked();
      await held;
    }
    await route.continue();
  });
  await page.getByRole('button', { name: 'Next page' }).click();
  await turned;
  const refreshed = page.waitForRequest((r) => /"offset":\s*0\b/.test(r.postData() ?? ''), { timeout: 5000 }).catch(() => null);
  assert.equal((await servers.zebCli('set', 'Phonebook.Entry.1.', 'Title=changed')).status, 0);
  await refreshed;
  release();
  await until(page, (shown) => shown[0] === SORTED[50]);
  await page.waitForTimeout(2000);
  assert.equal((await listedNames(page))[0], SORTED[50], 'the list went back to the first page');
});

suite.test('the search box narrows to names, e-mails and digits of numbers', async (session) => {
  const page = await session.openAs('viewer');
  const search = page.getByRole('searchbox', { name: 'Search' });
  const words = (c) => [c.formattedName, c.name ?? '', ...c.emails.map((e) => e.name)]
    .join(' ').toLowerCase().split(/[\s;@.]+/);
  const cases = [
    ['mertens', (c) => words(c).some((w) => w.startsWith('mertens'))],
    ['ROHRFREI', (c) => c === PLUMBER],
    ['500-1234', (c) => c.uniqueID === 'c1234'],
    ['0221 987', (c) => c === PLUMBER],
    ['xyzzy', () => false],
  ];
  for (const [text, match] of cases) {
    const expected = CONTACTS.filter(match).map((c) => c.formattedName).sort(collator.compare);
    await search.fill(text);
    // The first page of what was found: all of it, or a full page of it.
    await until(page, (shown) => shown.length <= expected.length && shown.every((n, i) => n === expected[i]) &&
      (shown.length === expected.length || shown.length >= 20)).catch((e) => assert.fail(`${text}: ${e.message}`));
  }
  await search.fill('');
  await page.getByRole('status').filter({ hasText: /of 2000/ }).waitFor();
  assert.deepEqual(await listedNames(page), SORTED.slice(0, (await listedNames(page)).length));
});

suite.test('a change made by another client shows in the open page within a second', async (session, servers) => {
  const page = await session.openAs('viewer');
  await until(page, (shown) => shown.length > 0);
  const first = (await listedNames(page))[0];
  const entry = (await servers.call('getContact', { formattedName: first })).key;
  const cases = [
    ['added', ['call', 'Phonebook', 'addContact', 'contact={"uniqueID": "aaron", "formattedName": "Aaron Aaberg"}'],
      (shown) => shown[0] === 'Aaron Aaberg'],
    ['renamed', ['set', `Phonebook.Entry.${entry}.`, 'FormattedName=Aaron Aaberg 2'],
      (shown) => shown.includes('Aaron Aaberg 2') && !shown.includes(first)],
    ['removed', ['call', 'Phonebook', 'removeContact', 'formattedName=Aaron Aaberg'],
      (shown) => !shown.includes('Aaron Aaberg') && shown[0] === 'Aaron Aaberg 2'],
  ];
  const figures = [];
  for (const [what, args, condition] of cases) {
    const r = await servers.zebCli(...args);
    assert.equal(r.status, 0, r.stderr);
    const ms = await until(page, condition, 5000);
    figures.push(`${what} ${Math.round(ms)} ms`);
    assert.ok(ms < 3000, `${what}: shown after ${ms} ms`);
  }
  console.log(`# changes by zeb-cli shown after: ${figures.join(', ')}`);
  // Put the renamed contact back.
  assert.equal((await servers.zebCli('set', `Phonebook.Entry.${entry}.`, `FormattedName=${first}`)).status, 0);
});

suite.test('an umlaut sorts as the phonebook\'s language says', async (session) => {
  const servers = await Servers.start();
  try {
    await servers.seed(['Bruno Carl', 'Zorn Zacharias', 'Ärger Emil', 'Anton Berg']
      .map((formattedName, i) => ({ uniqueID: `u${i}`, formattedName })));
    const cases = [
      ['de', ['Anton Berg', 'Ärger Emil', 'Bruno Carl', 'Zorn Zacharias']],
      ['sv', ['Anton Berg', 'Bruno Carl', 'Zorn Zacharias', 'Ärger Emil']],
    ];
    for (const [locale, expected] of cases) {
      const r = await servers.zebCli('set', 'Phonebook', `SortLocale=${locale}`);
      assert.equal(r.status, 0, r.stderr);
      const page = await session.open({ baseURL: servers.baseURL });
      await login(page, 'viewer');
      await until(page, (shown) => shown.length === 4);
      assert.deepEqual(await listedNames(page), expected, locale);
    }
  } finally {
    await servers.stop();
  }
});
