#include "core/page_fetcher.h"

#include "http/http_get.h"
#include "platform/exceptions.h"
#include "platform/text.h"

namespace signposter {

FetchedPage HttpPageFetcher::Fetch(const std::string& url) {
    http::HttpGetOptions options;
    options.timeoutMs = kVerifyFetchTimeoutMs;
    // The reader may get a second page of this size once its limit is reached: one byte more tells an
    // oversized page from one of exactly the limit.
    options.maxBodyBytes = kVerifyMaxBodyBytes + 1;
    options.noCache = true;
    // Visitors reach the page through their proxies: so does the check of what they get.
    options.environmentProxy = true;
    options.tlsTrustFile = text::Trim(m_state.TlsTrustFile);
    FetchedPage fetched;
    try {
        http::HttpResult result = http::HttpGet(text::Trim(url), m_clock, options);
        if (result.truncated || result.body.size() > kVerifyMaxBodyBytes) {
            fetched.problem = "the served page is larger than 1 MiB";
        } else {
            fetched.body = std::move(result.body);
        }
    } catch (const http::EHttpTimeout&) {
        fetched.problem = "no answer within " + std::to_string(kVerifyFetchTimeoutMs / 1000) + " s";
    } catch (const Exception& error) {
        fetched.problem = error.Message();
    } catch (const std::exception& error) {
        fetched.problem = error.what();
    }
    // The problem holds a URL and a reason phrase from the network.
    fetched.problem = text::Printable(text::OneLine(fetched.problem));
    return fetched;
}

}  // namespace signposter
